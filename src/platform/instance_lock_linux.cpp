#include "platform/instance_lock_linux.hpp"

#include "platform/atomic_file.hpp"
#include "platform/errno_text.hpp"
#include "platform/fd_io.hpp"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace quorbel {
namespace {

constexpr mode_t kLockFileMode = 0600;
constexpr std::size_t kMaxPidText = 32;

// The pid the holder wrote, when the file holds one: it may not have written it yet.
std::optional<pid_t> holderPid(int fd) {
  const BoundedRead read = readBounded(fd, kMaxPidText);
  if (read.error != 0 || read.tooLarge) {
    return std::nullopt;
  }
  pid_t pid = 0;
  const char *begin = read.content.data();
  const char *end = begin + read.content.size();
  const auto [at, error] = std::from_chars(begin, end, pid);
  if (error != std::errc() || pid <= 0 || (at != end && *at != '\n')) {
    return std::nullopt;
  }
  return pid;
}

} // namespace

InstanceLock::Outcome InstanceLock::acquire(const std::filesystem::path &file) {
  try {
    createPrivateDirectories(file.parent_path(), file);
  } catch (const FileWriteError &error) {
    return Failed{error.what()};
  }
  // No O_TRUNC: a refused process must not wipe the holder's pid.
  UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kLockFileMode));
  if (!fd.valid()) {
    return Failed{failureText("cannot open the lock " + file.string(), errno)};
  }
  int locked = 0;
  while ((locked = ::flock(fd.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (locked != 0) {
    if (errno == EWOULDBLOCK) {
      return Held{holderPid(fd.get())};
    }
    return Failed{failureText("cannot lock " + file.string(), errno)};
  }
  // Ours now: private whatever the umask when it was made, and naming its holder.
  ::fchmod(fd.get(), kLockFileMode);
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd.get(), 0) != 0 || ::pwrite(fd.get(), pid.data(), pid.size(), 0) < 0) {
    return Failed{failureText("cannot write the lock " + file.string(), errno)};
  }
  return InstanceLock(std::move(fd));
}

} // namespace quorbel
