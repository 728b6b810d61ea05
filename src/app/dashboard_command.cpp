#include "app/dashboard_command.hpp"

#include "app/status_exit.hpp"
#include "dashboard/dashboard.hpp"
#include "model/clock.hpp"
#include "platform/environment.hpp"
#include "platform/errno_text.hpp"
#include "platform/unique_fd.hpp"
#include "store/account_location.hpp"
#include "watch/snapshot_wake_source_linux.hpp"

#include <clocale>
#include <csignal>
#include <cstdio>
#include <langinfo.h>
#include <stdexcept>
#include <string_view>
#include <sys/signalfd.h>
#include <unistd.h>

namespace quorbel {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The signals the dashboard answers, taken from a descriptor rather than a handler: the window's
// new size and the stops all reach the one loop, which restores the terminal before it exits.
UniqueFd signalsAsInput() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGWINCH);
  for (const int stop : kStopSignals) {
    sigaddset(&signals, stop);
  }
  ::sigprocmask(SIG_BLOCK, &signals, nullptr);
  UniqueFd fd(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!fd.valid()) {
    throw std::runtime_error(failureText("cannot receive signals", errno));
  }
  return fd;
}

struct SignalsTaken {
  bool resized = false;
  bool stop = false;
};

SignalsTaken takeSignals(int fd) {
  SignalsTaken taken;
  signalfd_siginfo info{};
  while (::read(fd, &info, sizeof info) == ssize_t(sizeof info)) {
    if (info.ssi_signo == SIGWINCH) {
      taken.resized = true;
    } else {
      taken.stop = true;
    }
  }
  return taken;
}

// The bars and marks are UTF-8; a terminal session without a locale set still shows them when
// the C library has a UTF-8 one to offer.
void useUtf8() {
  std::setlocale(LC_ALL, "");
  if (std::string_view(nl_langinfo(CODESET)) != "UTF-8") {
    std::setlocale(LC_CTYPE, "C.UTF-8");
  }
}

int runOnScreen(const std::filesystem::path &defaultFile, const std::optional<AccountFile> &chosen,
                const ViewOptions &options, bool color) {
  const UniqueFd signals = signalsAsInput();
  SnapshotWakeSource wakes(defaultFile, accountsDirectory(defaultFile), -1);
  wakes.wakeOnInput(STDIN_FILENO);
  wakes.wakeOnInput(signals.get());
  TerminalScreen screen(color);
  Dashboard dashboard(
      screen,
      [&]() { return chosen ? std::vector<AccountFile>{*chosen} : findAccounts(defaultFile); },
      options);
  runWatchLoop(systemClock(), wakes, [&](Instant now) {
    const SignalsTaken taken = takeSignals(signals.get());
    if (taken.stop) {
      return WatchNext{true, std::nullopt};
    }
    if (taken.resized) {
      screen.resize();
    }
    const WatchNext next = dashboard.update(now, taken.resized);
    wakes.follow(dashboard.files());
    return next;
  });
  return kExitOk;
}

} // namespace

int runDashboard(const std::filesystem::path &defaultFile, const std::optional<AccountFile> &chosen,
                 const ViewOptions &options, ColorChoice color) {
  if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDOUT_FILENO) != 1) {
    std::fprintf(stderr, "quorbel-status: --dashboard needs a terminal on standard input and "
                         "output\n");
    return kExitUsage;
  }
  useUtf8();
  try {
    return runOnScreen(defaultFile, chosen, options,
                       colorWanted(color, environmentValue("NO_COLOR"), environmentValue("TERM")));
  } catch (const std::exception &error) {
    // The screen is already restored: it ends with the scope that threw.
    std::fprintf(stderr, "quorbel-status: %s\n", error.what());
    return 1;
  }
}

} // namespace quorbel
