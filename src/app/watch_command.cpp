#include "app/watch_command.hpp"

#include "platform/atomic_file.hpp"
#include "platform/environment.hpp"
#include "platform/fd_io.hpp"
#include "platform/home_directory.hpp"
#include "platform/xdg_directories.hpp"

#include "model/clock.hpp"
#include "notify/sd_bus_notifications_linux.hpp"
#include "notify/usage_notifier.hpp"
#include "watch/snapshot_wake_source_linux.hpp"
#include "watch/status_watch.hpp"

#include <csignal>
#include <string>
#include <unistd.h>

namespace quorbel {
namespace {

constexpr int kExitOk = 0;

void exitAtOnce(int) { ::_exit(kExitOk); }

// SIGTERM and SIGINT end the process wherever it waits: in poll() or in a write to a bar that has
// stopped reading. Nothing is left half done: output is written unbuffered, and the notifier holds
// the signals back while it shows a notification and records it. A reader that has gone shows as
// EPIPE rather than as a SIGPIPE that would kill the process.
void endOnStopSignals() {
  struct sigaction action {};
  action.sa_handler = exitAtOnce;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void writeError(std::string_view message) {
  [[maybe_unused]] const int ignored = writeAll(STDERR_FILENO, std::string(message) + "\n");
}

// Holds SIGTERM and SIGINT back while it lives: a notification shown must reach the state file, or
// a restart would show it again. The wait is bounded by the D-Bus call's time-out.
class StopSignalsHeld {
public:
  StopSignalsHeld() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stops, &previous_);
  }
  ~StopSignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  StopSignalsHeld(const StopSignalsHeld &) = delete;
  StopSignalsHeld &operator=(const StopSignalsHeld &) = delete;

private:
  sigset_t previous_{};
};

} // namespace

void writeOutputFile(const std::filesystem::path &file, std::string_view text) {
  // No folder is made: a collector's folder is set up by its administrator, and one made private
  // here would hide the file from the collector.
  AtomicFile writer(file, kReadableFileMode);
  writer.write(text);
  writer.commit();
}

int runStatusWatch(const std::filesystem::path &file, OutputFormat format,
                   const ViewOptions &options, const std::optional<std::filesystem::path> &output) {
  endOnStopSignals();
  bool writeFailed = false;
  const auto print = [](std::string_view update) { return writeAll(STDOUT_FILENO, update) == 0; };
  const auto replace = [&](std::string_view update) {
    // Each version is the whole file; the blank line that parts printed long texts is not part of
    // it.
    if (format == OutputFormat::longText && update.starts_with('\n')) {
      update.remove_prefix(1);
    }
    try {
      writeOutputFile(*output, update);
      return true;
    } catch (const FileWriteError &problem) {
      writeError(std::string("quorbel-status: ") + problem.what());
      writeFailed = true;
      return false;
    }
  };
  try {
    SnapshotWakeSource wakes(file, output ? -1 : STDOUT_FILENO);
    StatusWatch watch(file, format, options,
                      output ? StatusWatch::Output(replace) : StatusWatch::Output(print),
                      writeError);
    runWatchLoop(systemClock(), wakes, [&watch](Instant now) { return watch.update(now); });
  } catch (const WatchError &problem) {
    writeError(std::string("quorbel-status: ") + problem.what());
    return kWatchFailedExitStatus;
  }
  return writeFailed ? kWatchFailedExitStatus : kExitOk;
}

int runUsageNotifier(const std::filesystem::path &file, const ViewOptions &options) {
  endOnStopSignals();
  try {
    SnapshotWakeSource wakes(file);
    SdBusNotifications sender;
    const auto stateFile =
        notifierStateLocation(environmentValue("XDG_STATE_HOME"), homeDirectory());
    if (!stateFile) {
      throw WatchError(noHomeMessage("what was shown", XdgDirectory::state));
    }
    const NotifierStateFile state(*stateFile);
    state.removeStaleTemporaries();
    UsageNotifier notifier(file, state, options, sender, writeError);
    runWatchLoop(systemClock(), wakes, [&notifier](Instant now) {
      const StopSignalsHeld held;
      return notifier.update(now);
    });
  } catch (const WatchError &problem) {
    writeError(std::string("quorbel-status: ") + problem.what());
    return kWatchFailedExitStatus;
  }
  return kExitOk;
}

} // namespace quorbel
