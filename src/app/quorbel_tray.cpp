// quorbel-tray: the helper's snapshot as one icon in a desktop panel's tray.

#include "app/status_arguments.hpp"
#include "app/status_exit.hpp"
#include "app/tray_command.hpp"
#include "model/helper_version.hpp"
#include "store/account_location.hpp"
#include "store/snapshot_location.hpp"
#include "store/snapshot_store.hpp"

#include <cstdio>
#include <getopt.h>
#include <string>

namespace {

using namespace quorbel;

constexpr const char *kUsage =
    "Usage: quorbel-tray [--file PATH | --account NAME] [--warn PERCENT] [--critical PERCENT]\n"
    "                    [--stale-after DURATION] [--show used|remaining]\n"
    "                    [--open-command COMMAND]\n"
    "       quorbel-tray --help | --version\n"
    "\n"
    "Shows Claude Code plan usage from the snapshot QuorbelHelper keeps as an icon in the\n"
    "panel's tray (StatusNotifierItem: KDE, GNOME with AppIndicator, Xfce, waybar), with the\n"
    "numbers in its tooltip and menu.\n"
    "  --file          the snapshot to read (default: every account's, where QuorbelHelper\n"
    "                  writes them)\n"
    "  --account       only the account NAME (\"default\": the helper run without --account)\n"
    "  --warn          percent from which the icon turns to the warning colour (default 80)\n"
    "  --critical      percent from which it turns red and asks for attention (default 95)\n"
    "  --stale-after   age after which the icon turns grey: 900, 15m or 1h (default 15m)\n"
    "  --show          used (default) or remaining: the figure the icon and label show\n"
    "  --open-command  shell command run by \"Open details\" and a click on the icon (default:\n"
    "                  quorbel-status --format long --watch in xdg-terminal-exec or\n"
    "                  x-terminal-emulator)\n"
    "  --help          print this help and exit\n"
    "  --version       print the version and exit\n"
    "\n"
    "Runs until SIGTERM, SIGINT or \"Quit\" and exits 0; 1 without a session bus; 2 bad\n"
    "arguments or no home.\n";

int usageError(const std::string &message) {
  std::fprintf(stderr, "quorbel-tray: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

struct Parsed {
  TrayRequest request;
  std::string file;
  std::optional<std::string> account;
  std::optional<int> exitNow;
};

// One option into `parsed`; an exit status when the program ends here.
std::optional<int> takeOption(int option, const char *argument, Parsed &parsed) {
  ViewOptions &options = parsed.request.options;
  const auto passOn = [&parsed, argument](const char *name) {
    parsed.request.statusArguments.insert(parsed.request.statusArguments.end(), {name, argument});
  };
  switch (option) {
  case 'F':
    if (*argument == '\0') {
      return usageError("--file needs a path");
    }
    parsed.file = argument;
    passOn("--file");
    return std::nullopt;
  case 'a':
    parsed.account = argument;
    passOn("--account");
    return std::nullopt;
  case 'w':
    if (!parsePercent(argument, options.warn)) {
      return usageError(std::string("--warn takes a percent from 0 to 100, not '") + argument +
                        "'");
    }
    passOn("--warn");
    return std::nullopt;
  case 'c':
    if (!parsePercent(argument, options.critical)) {
      return usageError(std::string("--critical takes a percent from 0 to 100, not '") + argument +
                        "'");
    }
    passOn("--critical");
    return std::nullopt;
  case 's':
    if (parseDuration(argument, options.staleAfter) != DurationParse::ok) {
      return usageError(std::string("--stale-after takes a duration such as 900, 15m or 1h up "
                                    "to ten years, not '") +
                        argument + "'");
    }
    passOn("--stale-after");
    return std::nullopt;
  case 'S': {
    const auto shown = percentShownNamed(argument);
    if (!shown) {
      return usageError(std::string("--show takes used or remaining, not '") + argument + "'");
    }
    options.shown = *shown;
    passOn("--show");
    return std::nullopt;
  }
  case 'o':
    parsed.request.openCommand = argument;
    return std::nullopt;
  case 'h':
    std::fputs(kUsage, stdout);
    return kExitOk;
  case 'V':
    std::printf("quorbel-tray %s\n", std::string(kHelperVersion).c_str());
    return kExitOk;
  default:
    return usageError("bad option");
  }
}

// Where to look, and the one account when one was asked for.
std::optional<int> chooseAccounts(Parsed &parsed) {
  if (parsed.account && !parsed.file.empty()) {
    return usageError("--file and --account do not go together");
  }
  const std::optional<std::filesystem::path> location =
      parsed.file.empty() ? SnapshotStore::defaultFileURL()
                          : std::optional<std::filesystem::path>(parsed.file);
  if (!location) {
    std::fprintf(stderr, "quorbel-tray: %s\n", snapshotNoHomeMessage().c_str());
    return kExitUsage;
  }
  parsed.request.defaultFile = *location;
  if (parsed.account) {
    const std::vector<AccountFile> accounts = findAccounts(*location);
    parsed.request.account = accountNamed(accounts, *location, *parsed.account);
    if (!parsed.request.account) {
      std::fprintf(stderr, "quorbel-tray: no account '%s'; accounts found: %s\n",
                   parsed.account->c_str(), accountNames(accounts).c_str());
      return kExitUsage;
    }
  } else if (!parsed.file.empty()) {
    parsed.request.account = AccountFile{std::string(kDefaultAccountName), *location};
  }
  return std::nullopt;
}

} // namespace

int main(int argc, char **argv) {
  static const option kOptions[] = {
      {"file", required_argument, nullptr, 'F'},
      {"account", required_argument, nullptr, 'a'},
      {"warn", required_argument, nullptr, 'w'},
      {"critical", required_argument, nullptr, 'c'},
      {"stale-after", required_argument, nullptr, 's'},
      {"show", required_argument, nullptr, 'S'},
      {"open-command", required_argument, nullptr, 'o'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  Parsed parsed;
  for (int option; (option = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
    if (option == '?') {
      return usageError(optind > 0 && optind <= argc
                            ? std::string("bad option '") + argv[optind - 1] + "'"
                            : std::string("bad option"));
    }
    if (const auto status = takeOption(option, optarg, parsed)) {
      return *status;
    }
  }
  if (optind < argc) {
    return usageError(std::string("unexpected argument '") + argv[optind] + "'");
  }
  if (parsed.request.options.warn > parsed.request.options.critical) {
    return usageError("--warn must not be above --critical");
  }
  if (const auto status = chooseAccounts(parsed)) {
    return *status;
  }
  return runTray(parsed.request);
}
