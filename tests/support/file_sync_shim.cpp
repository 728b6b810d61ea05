// Preloaded (LD_PRELOAD) into a built program by the tests: writes each fsync() and rename() to
// the file QUORBEL_SHIM_LOG names, one line each ("fsync PATH", "rename FROM TO"), so a test can
// see the order in which a file reaches the disk and its name; with QUORBEL_SHIM_FSYNC_PAUSE_MS,
// each fsync() waits that long first, so a test can stop the program in the middle of a write.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

void logLine(const std::string &line) {
  const char *log = std::getenv("QUORBEL_SHIM_LOG");
  if (log == nullptr) {
    return;
  }
  const int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) {
    const std::string whole = line + "\n";
    [[maybe_unused]] const ssize_t written = ::write(fd, whole.data(), whole.size());
    ::close(fd);
  }
}

std::string pathOf(int fd) {
  char path[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(link.c_str(), path, sizeof path - 1);
  return length < 0 ? "?" : std::string(path, std::size_t(length));
}

template <typename Function> Function real(const char *name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fsync(int fd) {
  const int saved = errno;
  logLine("fsync " + pathOf(fd));
  if (const char *pause = std::getenv("QUORBEL_SHIM_FSYNC_PAUSE_MS")) {
    const long milliseconds = std::strtol(pause, nullptr, 10);
    timespec wait{milliseconds / 1000, (milliseconds % 1000) * 1000000};
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
  }
  errno = saved;
  static const auto next = real<int (*)(int)>("fsync");
  return next(fd);
}

extern "C" int rename(const char *from, const char *to) {
  const int saved = errno;
  logLine(std::string("rename ") + from + " " + to);
  errno = saved;
  static const auto next = real<int (*)(const char *, const char *)>("rename");
  return next(from, to);
}
