// quorbel-status: prints the helper's snapshot for bars, terminals and scripts.

#include "app/history_command.hpp"
#include "app/status_arguments.hpp"
#include "app/status_exit.hpp"
#include "app/watch_command.hpp"
#include "chart/history_formats.hpp"
#include "chart/usage_trends.hpp"
#include "history/history_store.hpp"
#include "model/clock.hpp"
#include "model/helper_version.hpp"
#include "platform/atomic_file.hpp"
#include "store/account_location.hpp"
#include "store/snapshot_location.hpp"
#include "store/snapshot_store.hpp"
#include "view/accounts_view.hpp"
#include "view/snapshot_reading.hpp"
#include "view/usage_formats.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace quorbel;

constexpr const char *kUsage =
    "Usage: quorbel-status [--format text|long|waybar|json|prometheus]\n"
    "                      [--file PATH | --account NAME]\n"
    "                      [--warn PERCENT] [--critical PERCENT] [--stale-after DURATION]\n"
    "                      [--show used|remaining] [--output FILE] [--watch | --notify]\n"
    "       quorbel-status --history [--since DURATION] [--format chart|csv|json|svg]\n"
    "                      [--output FILE] [--file PATH | --account NAME]\n"
    "       quorbel-status --help | --version\n"
    "\n"
    "Prints Claude Code plan usage from the snapshot QuorbelHelper keeps.\n"
    "  --format       text (default): one line; long: a few lines for a person;\n"
    "                 waybar: JSON for waybar's custom module; json: everything, for scripts;\n"
    "                 prometheus: every account's metrics in the Prometheus text format\n"
    "  --file         the snapshot to read (default: every account's, where QuorbelHelper\n"
    "                 writes them)\n"
    "  --account      only the account NAME (\"default\": the helper run without --account)\n"
    "  --warn         percent from which the class is \"warning\" (default 80)\n"
    "  --critical     percent from which the class is \"critical\" (default 95)\n"
    "  --stale-after  age after which data counts as stale: 900, 900s, 15m or 1h (default 15m)\n"
    "  --show         used (default): the percent of each window used; remaining: the percent\n"
    "                 left (\"5h 55% left\"), in text, long and waybar; levels still measure use\n"
    "  --watch        print again each time the output would change, until stopped\n"
    "  --notify       print nothing; show desktop notifications when a window reaches --warn,\n"
    "                 --critical or 100 %, when a full window resets, when Claude Code\n"
    "                 signs out or back in, when extra usage starts being spent and when it\n"
    "                 crosses --warn, --critical or 100 % of its monthly cap\n"
    "  --history      show the usage kept in history.sqlite3 beside the snapshot: chart\n"
    "                 (default, fits COLUMNS or the terminal), csv, json or svg\n"
    "  --since        how far back --history looks: 6h, 2d or 30d (default 7d)\n"
    "  --output       replace FILE atomically instead of printing (readable by all, as a\n"
    "                 collector needs; its folder must exist); with --watch, at each change\n"
    "  --help         print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Exit status: 0 shown; 2 bad arguments or no home; 3 no snapshot file yet; 4 unreadable\n"
    "snapshot (waybar: 0 whenever its line was printed); 5 the --output file not written.\n"
    "--watch and --notify run until SIGTERM or SIGINT and exit 0, or 1 when they cannot watch\n"
    "or cannot write the --output file.\n";

int usageError(const std::string &message) {
  std::fprintf(stderr, "quorbel-status: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

void printLine(const std::string &line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

// Prints `line`, or makes it the whole --output file; false, said on standard error, when that file
// cannot be written.
bool emit(const std::string &line, const std::optional<std::filesystem::path> &output) {
  if (!output) {
    printLine(line);
    return true;
  }
  try {
    replaceSharedFile(*output, line + "\n");
    return true;
  } catch (const FileWriteError &problem) {
    std::fprintf(stderr, "quorbel-status: %s\n", problem.what());
    return false;
  }
}

// Only the formats a person reads at leisure open the history; `text` runs in every bar tick.
bool readsHistory(OutputFormat format) {
  return format == OutputFormat::longText || format == OutputFormat::waybar;
}

// Several accounts at once, each shown as it would be alone. Each account without a snapshot is
// named on standard error and shown as such in the output; the exit status tells trouble only when
// no account could be shown.
int printAccounts(const std::vector<AccountFile> &accounts, OutputFormat format,
                  const ViewOptions &options, const std::optional<std::filesystem::path> &output) {
  const Instant now = systemClock().now();
  const std::vector<AccountView> views = viewAccounts(
      accounts, now, options,
      readsHistory(format)
          ? AccountViewing([&](const PlanSnapshot &snapshot, const std::filesystem::path &file) {
              return viewWithHistory(snapshot, file, now, options);
            })
          : AccountViewing());
  bool shown = false;
  for (const AccountView &account : views) {
    shown = shown || account.view.has_value();
    if (!account.view) {
      std::fprintf(stderr, "quorbel-status: %s: %s\n", account.name.c_str(),
                   account.reading.problem.c_str());
    }
  }
  // Metrics without any account stay as they last were: a collector then sees the data age rather
  // than numbers that vanish.
  const std::string text = formatAccounts(views, format);
  if (!text.empty() && !emit(text, output)) {
    return kExitCannotWrite;
  }
  if (shown || (format == OutputFormat::waybar && !output)) {
    return kExitOk;
  }
  return views.front().reading.missing ? kExitNoSnapshot : kExitUnreadable;
}

} // namespace

int main(int argc, char **argv) {
  OutputFormat format = OutputFormat::text;
  std::string formatName;
  bool history = false;
  HistoryRequest historyRequest;
  ViewOptions options;
  std::string file;
  std::optional<std::string> account;
  std::optional<std::filesystem::path> output;
  bool watch = false;
  bool notify = false;

  static const option kOptions[] = {
      {"format", required_argument, nullptr, 'f'},
      {"file", required_argument, nullptr, 'F'},
      {"account", required_argument, nullptr, 'a'},
      {"warn", required_argument, nullptr, 'w'},
      {"critical", required_argument, nullptr, 'c'},
      {"stale-after", required_argument, nullptr, 's'},
      {"show", required_argument, nullptr, 'S'},
      {"watch", no_argument, nullptr, 'W'},
      {"notify", no_argument, nullptr, 'N'},
      {"history", no_argument, nullptr, 'H'},
      {"since", required_argument, nullptr, 'n'},
      {"output", required_argument, nullptr, 'o'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  for (;;) {
    const int option = getopt_long(argc, argv, "", kOptions, nullptr);
    if (option == -1) {
      break;
    }
    switch (option) {
    case 'f':
      formatName = optarg; // read once the mode is known: --history has formats of its own
      break;
    case 'H':
      history = true;
      break;
    case 'n':
      if (parseDuration(optarg, historyRequest.since) != DurationParse::ok ||
          historyRequest.since.count() == 0) {
        return usageError(std::string("--since takes a duration such as 6h, 2d or 30d, not '") +
                          optarg + "'");
      }
      historyRequest.sinceText = optarg;
      break;
    case 'o':
      if (*optarg == '\0') {
        return usageError("--output needs a path");
      }
      output = optarg;
      break;
    case 'F':
      file = optarg;
      if (file.empty()) {
        return usageError("--file needs a path");
      }
      break;
    case 'a':
      account = optarg;
      break;
    case 'w':
      if (!parsePercent(optarg, options.warn)) {
        return usageError(std::string("--warn takes a percent from 0 to 100, not '") + optarg +
                          "'");
      }
      break;
    case 'c':
      if (!parsePercent(optarg, options.critical)) {
        return usageError(std::string("--critical takes a percent from 0 to 100, not '") + optarg +
                          "'");
      }
      break;
    case 's':
      switch (parseDuration(optarg, options.staleAfter)) {
      case DurationParse::ok:
        break;
      case DurationParse::malformed:
        return usageError(std::string("--stale-after takes a duration such as 900, 15m or 1h, "
                                      "not '") +
                          optarg + "'");
      case DurationParse::tooLong:
        return usageError(std::string("--stale-after is at most ten years (87840h), not '") +
                          optarg + "'");
      }
      break;
    case 'S': {
      const auto shown = percentShownNamed(optarg);
      if (!shown) {
        return usageError(std::string("--show takes used or remaining, not '") + optarg + "'");
      }
      options.shown = *shown;
      break;
    }
    case 'W':
      watch = true;
      break;
    case 'N':
      notify = true;
      break;
    case 'h':
      std::fputs(kUsage, stdout);
      return kExitOk;
    case 'V':
      std::printf("quorbel-status %s\n", std::string(kHelperVersion).c_str());
      return kExitOk;
    default:
      return usageError(optind > 0 && optind <= argc
                            ? std::string("bad option '") + argv[optind - 1] + "'"
                            : std::string("bad option"));
    }
  }
  if (optind < argc) {
    return usageError(std::string("unexpected argument '") + argv[optind] + "'");
  }
  if (options.warn > options.critical) {
    return usageError("--warn must not be above --critical");
  }
  if (watch && notify) {
    return usageError("--watch and --notify do not go together");
  }
  if (history && (watch || notify)) {
    return usageError("--history does not go with --watch or --notify");
  }
  if (notify && output) {
    return usageError("--output does not go with --notify, which prints nothing");
  }
  if (history && !formatName.empty()) {
    const auto named = historyFormatNamed(formatName);
    if (!named) {
      return usageError("--history formats are chart, csv, json and svg, not '" + formatName + "'");
    }
    historyRequest.format = *named;
  } else if (!formatName.empty()) {
    const auto named = outputFormatNamed(formatName);
    if (!named) {
      return usageError("unknown format '" + formatName + "'");
    }
    format = *named;
  }

  if (account && !file.empty()) {
    return usageError("--file and --account do not go together");
  }

  const std::optional<std::filesystem::path> location =
      file.empty() ? SnapshotStore::defaultFileURL() : std::filesystem::path(file);
  if (!location) {
    std::fprintf(stderr, "quorbel-status: %s\n", snapshotNoHomeMessage().c_str());
    return kExitUsage;
  }
  std::filesystem::path path = *location;
  // The one account to show, by --account or --file (which stands for the default account).
  std::optional<AccountFile> chosen;
  if (account) {
    const std::vector<AccountFile> accounts = findAccounts(path);
    chosen = accountNamed(accounts, path, *account);
    if (!chosen) {
      std::fprintf(stderr, "quorbel-status: no account '%s'; accounts found: %s\n",
                   account->c_str(), accountNames(accounts).c_str());
      return kExitUsage;
    }
  } else if (!file.empty()) {
    chosen = AccountFile{std::string(kDefaultAccountName), path};
  }
  if (history) {
    historyRequest.output = output.value_or(std::filesystem::path());
    historyRequest.warn = options.warn;
    historyRequest.critical = options.critical;
    historyRequest.account = chosen ? chosen->name : std::string(kDefaultAccountName);
    return runHistory(chosen ? chosen->file : path, historyRequest);
  }
  if (!chosen) {
    // Every account, those that appear later too; one alone shows exactly as it always has.
    if (watch) {
      return runAccountsWatch(path, format, options, output);
    }
    if (notify) {
      return runAccountsNotifier(path, options);
    }
    const std::vector<AccountFile> accounts = findAccounts(path);
    if (accounts.size() > 1 || format == OutputFormat::prometheus) {
      return printAccounts(accounts, format, options, output);
    }
    chosen = accounts.front();
  }
  path = chosen->file;
  if (watch) {
    return runStatusWatch(*chosen, format, options, output);
  }
  if (notify) {
    return runUsageNotifier(*chosen, options);
  }
  if (format == OutputFormat::prometheus) {
    return printAccounts({*chosen}, format, options, output); // metrics name their account
  }
  const SnapshotReading reading = SnapshotReading::of(path);
  if (!reading.snapshot) {
    const std::string &reason = reading.problem;
    std::fprintf(stderr, "quorbel-status: %s\n", reason.c_str());
    const std::string standIn = formatUnavailable(format, reason);
    if (!standIn.empty() && !emit(standIn, output)) {
      return kExitCannotWrite;
    }
    // waybar drops a module whose command fails; its line carries the trouble in class and
    // tooltip instead.
    if (format == OutputFormat::waybar && !output) {
      return kExitOk;
    }
    return reading.missing ? kExitNoSnapshot : kExitUnreadable;
  }
  const Instant now = systemClock().now();
  const UsageView view = readsHistory(format)
                             ? viewWithHistory(*reading.snapshot, path, now, options)
                             : UsageView::of(*reading.snapshot, now, options);
  return emit(formatView(view, format), output) ? kExitOk : kExitCannotWrite;
}
