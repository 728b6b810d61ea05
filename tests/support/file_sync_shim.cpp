// Preloaded (LD_PRELOAD) into a built program by the tests: appends "fsync PATH" to the file
// QUORBEL_SHIM_LOG names at each fsync(), PATH being what the descriptor's name is at that moment
// (a temporary file still has its own name before the rename that publishes it); with
// QUORBEL_SHIM_FSYNC_PAUSE_MS, each fsync() waits that long first, so a test can stop the program
// in the middle of a write.
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

extern "C" int fsync(int fd) {
  std::error_code error;
  const auto name = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
  if (const char *log = std::getenv("QUORBEL_SHIM_LOG")) {
    std::ofstream(log, std::ios::app) << "fsync " << name.string() << "\n" << std::flush;
  }
  if (const char *pause = std::getenv("QUORBEL_SHIM_FSYNC_PAUSE_MS")) {
    ::usleep(useconds_t(std::atoi(pause)) * 1000);
  }
  static const auto next = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
  return next(fd);
}
