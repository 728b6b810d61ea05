#include "status/watch_command.hpp"

#include "model/clock.hpp"
#include "status/snapshot_wake_source_linux.hpp"
#include "status/status_watch.hpp"

#include <cerrno>
#include <csignal>
#include <string>
#include <unistd.h>

namespace quorbel {
namespace {

constexpr int kExitOk = 0;
// The watch never polls for its own end: -1 leaves that to the signals.
constexpr int kNoStopDescriptor = -1;

void exitAtOnce(int) { ::_exit(kExitOk); }

// SIGTERM and SIGINT end the process wherever it waits: in poll() or in a write to a bar that has
// stopped reading. Nothing is left half done, since output is written unbuffered. A reader that
// has gone shows as EPIPE rather than as a SIGPIPE that would kill the process.
void endOnStopSignals() {
  struct sigaction action {};
  action.sa_handler = exitAtOnce;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    text.remove_prefix(std::size_t(written));
  }
  return true;
}

void writeError(std::string_view message) { writeAll(STDERR_FILENO, std::string(message) + "\n"); }

} // namespace

int runStatusWatch(const std::filesystem::path &file, OutputFormat format,
                   const ViewOptions &options) {
  endOnStopSignals();
  try {
    SnapshotWakeSource wakes(file, kNoStopDescriptor, STDOUT_FILENO);
    StatusWatch watch(
        file, format, options,
        [](std::string_view update) { return writeAll(STDOUT_FILENO, update); }, writeError);
    runWatchLoop(systemClock(), wakes, [&watch](Instant now) { return watch.update(now); });
  } catch (const WatchError &problem) {
    writeError(std::string("quorbel-status: ") + problem.what());
    return kWatchFailedExitStatus;
  }
  return kExitOk;
}

} // namespace quorbel
