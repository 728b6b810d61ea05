#include "app/watch_command.hpp"
#include "app/status_exit.hpp"

#include "platform/atomic_file.hpp"
#include "platform/environment.hpp"
#include "platform/fd_io.hpp"
#include "platform/home_directory.hpp"
#include "platform/stop_signals_linux.hpp"
#include "platform/xdg_directories.hpp"

#include "model/clock.hpp"
#include "notify/accounts_notifier.hpp"
#include "notify/incident_notifier.hpp"
#include "notify/sd_bus_notifications_linux.hpp"
#include "notify/usage_notifier.hpp"
#include "store/account_location.hpp"
#include "watch/snapshot_wake_source_linux.hpp"
#include "watch/status_watch.hpp"

#include <string>
#include <unistd.h>

namespace quorbel {
namespace {

void writeError(std::string_view message) {
  [[maybe_unused]] const int ignored = writeAll(STDERR_FILENO, std::string(message) + "\n");
}

// Where the notifier remembers what the default account was shown (each other account's state
// sits beside it as accountFile() says); throws WatchError without a home.
std::filesystem::path notifierStateFile() {
  const auto stateFile = notifierStateLocation(environmentValue("XDG_STATE_HOME"), homeDirectory());
  if (!stateFile) {
    throw WatchError(noHomeMessage("what was shown", XdgDirectory::state));
  }
  return *stateFile;
}

// The notices of the service's incidents, beside the usage ones; nothing when the service's status
// is not read.
std::optional<IncidentNotifier> incidentNotifier(const ViewOptions &options,
                                                 NotificationSending &sender) {
  if (options.serviceStatusFile.empty()) {
    return std::nullopt;
  }
  return std::optional<IncidentNotifier>(std::in_place, options.serviceStatusFile,
                                         notifierStateFile().parent_path() / kIncidentsToldFileName,
                                         sender, writeError);
}

// The files a notifier wakes for: the snapshots it reads, and the service status file.
std::vector<std::filesystem::path> followed(std::vector<std::filesystem::path> files,
                                            const std::optional<IncidentNotifier> &incidents) {
  if (incidents) {
    files.push_back(incidents->statusFile());
  }
  return files;
}

// Where --watch sends each update: standard output, or the --output file, replaced whole at each
// change. A file that cannot be written ends the watch with `failed` set.
StatusWatch::Output watchOutput(OutputFormat format,
                                const std::optional<std::filesystem::path> &output, bool &failed) {
  if (!output) {
    return [](std::string_view update) { return writeAll(STDOUT_FILENO, update) == 0; };
  }
  return [format, file = *output, &failed](std::string_view update) {
    // Each version is the whole file; the blank line that parts printed long texts is not part of
    // it.
    if (format == OutputFormat::longText && update.starts_with('\n')) {
      update.remove_prefix(1);
    }
    try {
      replaceSharedFile(file, update);
      return true;
    } catch (const FileWriteError &problem) {
      writeError(std::string("quorbel-status: ") + problem.what());
      failed = true;
      return false;
    }
  };
}

} // namespace

int runStatusWatch(const AccountFile &account, OutputFormat format, const ViewOptions &options,
                   const std::optional<std::filesystem::path> &output) {
  endOnStopSignals();
  bool writeFailed = false;
  try {
    SnapshotWakeSource wakes(account.file, output ? -1 : STDOUT_FILENO);
    const StatusWatch::Output out = watchOutput(format, output, writeFailed);
    // Metrics name their account, which a lone file does not know.
    StatusWatch watch = format == OutputFormat::prometheus
                            ? StatusWatch([account] { return std::vector{account}; }, format,
                                          options, out, writeError)
                            : StatusWatch(account.file, format, options, out, writeError);
    runWatchLoop(systemClock(), wakes, [&watch](Instant now) { return watch.update(now); });
  } catch (const WatchError &problem) {
    writeError(std::string("quorbel-status: ") + problem.what());
    return kWatchFailedExitStatus;
  }
  return writeFailed ? kWatchFailedExitStatus : kExitOk;
}

int runUsageNotifier(const AccountFile &account, const ViewOptions &options) {
  endOnStopSignals();
  try {
    SnapshotWakeSource wakes(account.file);
    SdBusNotifications sender;
    const NotifierStateFile state(accountFile(notifierStateFile(), account.name));
    state.removeStaleTemporaries();
    UsageNotifier notifier(account.file, state, options, sender, writeError);
    std::optional<IncidentNotifier> incidents = incidentNotifier(options, sender);
    wakes.follow(followed({}, incidents));
    runWatchLoop(systemClock(), wakes, [&](Instant now) {
      const StopSignalsHeld held;
      const WatchNext next = notifier.update(now);
      if (incidents) {
        incidents->update(now);
      }
      return next;
    });
  } catch (const WatchError &problem) {
    writeError(std::string("quorbel-status: ") + problem.what());
    return kWatchFailedExitStatus;
  }
  return kExitOk;
}

int runAccountsWatch(const std::filesystem::path &defaultFile, OutputFormat format,
                     const ViewOptions &options,
                     const std::optional<std::filesystem::path> &output) {
  endOnStopSignals();
  bool writeFailed = false;
  try {
    SnapshotWakeSource wakes(defaultFile, accountsDirectory(defaultFile),
                             output ? -1 : STDOUT_FILENO);
    StatusWatch watch([&defaultFile] { return findAccounts(defaultFile); }, format, options,
                      watchOutput(format, output, writeFailed), writeError);
    runWatchLoop(systemClock(), wakes, [&](Instant now) {
      const WatchNext next = watch.update(now);
      wakes.follow(watch.files());
      return next;
    });
  } catch (const WatchError &problem) {
    writeError(std::string("quorbel-status: ") + problem.what());
    return kWatchFailedExitStatus;
  }
  return writeFailed ? kWatchFailedExitStatus : kExitOk;
}

int runAccountsNotifier(const std::filesystem::path &defaultFile, const ViewOptions &options) {
  endOnStopSignals();
  try {
    SnapshotWakeSource wakes(defaultFile, accountsDirectory(defaultFile), -1);
    SdBusNotifications sender;
    AccountsNotifier notifier([&defaultFile] { return findAccounts(defaultFile); },
                              notifierStateFile(), options, sender, writeError);
    std::optional<IncidentNotifier> incidents = incidentNotifier(options, sender);
    runWatchLoop(systemClock(), wakes, [&](Instant now) {
      WatchNext next;
      {
        const StopSignalsHeld held;
        next = notifier.update(now);
        if (incidents) {
          incidents->update(now);
        }
      }
      wakes.follow(followed(notifier.files(), incidents));
      return next;
    });
  } catch (const WatchError &problem) {
    writeError(std::string("quorbel-status: ") + problem.what());
    return kWatchFailedExitStatus;
  }
  return kExitOk;
}

} // namespace quorbel
