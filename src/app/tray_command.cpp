#include "app/tray_command.hpp"

#include "app/status_exit.hpp"
#include "app/watch_command.hpp"
#include "model/clock.hpp"
#include "platform/fd_io.hpp"
#include "platform/stop_signals_linux.hpp"
#include "store/account_location.hpp"
#include "tray/details_command.hpp"
#include "tray/status_notifier_item_linux.hpp"
#include "tray/tray_watch.hpp"
#include "watch/snapshot_wake_source_linux.hpp"

#include <csignal>
#include <unistd.h>

namespace quorbel {
namespace {

// SIGTERM and SIGINT end the item wherever it waits; the bus daemon releases its name when the
// connection closes with the process. Terminals it started are reaped by the kernel.
void setUpSignals() {
  endOnStopSignals();
  std::signal(SIGCHLD, SIG_IGN);
}

void tell(std::string_view message) {
  [[maybe_unused]] const int ignored = writeAll(STDERR_FILENO, std::string(message) + "\n");
}

// quorbel-status beside this program when it is there, as installed, else the one on PATH.
std::string statusProgram() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  const auto beside = self.parent_path() / "quorbel-status";
  return !error && ::access(beside.c_str(), X_OK) == 0 ? beside.string() : "quorbel-status";
}

std::function<void()> detailsOpener(const TrayRequest &request) {
  std::vector<std::string> status = {statusProgram(), "--format", "long", "--watch"};
  status.insert(status.end(), request.statusArguments.begin(), request.statusArguments.end());
  return [status, openCommand = request.openCommand] {
    const auto command = detailsCommand(openCommand, status, onPath);
    if (!command) {
      tell("quorbel-tray: no terminal to open the details in (xdg-terminal-exec or "
           "x-terminal-emulator); --open-command names another way");
      return;
    }
    if (const auto problem = startDetached(*command)) {
      tell("quorbel-tray: " + *problem);
    }
  };
}

} // namespace

int runTray(const TrayRequest &request) {
  setUpSignals();
  const TrayWatch::Accounts accounts =
      request.account
          ? TrayWatch::Accounts([account = *request.account] { return std::vector{account}; })
          : TrayWatch::Accounts([file = request.defaultFile] { return findAccounts(file); });
  TrayWatch watch(accounts, request.options, tell);
  try {
    StatusNotifierItem item(
        {detailsOpener(request), [&watch] { return watch.rowsAt(systemClock().now()); },
         [](std::string_view message) { tell("quorbel-tray: " + std::string(message)); }});
    std::optional<SnapshotWakeSource> wakes;
    if (request.account) {
      wakes.emplace(request.account->file);
    } else {
      wakes.emplace(request.defaultFile, accountsDirectory(request.defaultFile), -1);
    }
    wakes->serveWhileWaiting(item.fd(), [&item] { return item.serve(); });
    runWatchLoop(systemClock(), *wakes, [&](Instant now) {
      TrayWatch::Look look = watch.update(now);
      item.show(look.look);
      if (!request.account) {
        wakes->follow(watch.files()); // the one account's file is watched already
      }
      return look.next;
    });
    return item.busLost() ? kWatchFailedExitStatus : kExitOk;
  } catch (const TrayBusError &problem) {
    tell(std::string("quorbel-tray: ") + problem.what());
  } catch (const WatchError &problem) {
    tell(std::string("quorbel-tray: ") + problem.what());
  }
  return kWatchFailedExitStatus;
}

} // namespace quorbel
