#include "app/status_request.hpp"

#include "app/status_arguments.hpp"
#include "app/status_exit.hpp"
#include "app/statusline_command.hpp"
#include "model/helper_version.hpp"

#include <cstdio>
#include <getopt.h>

namespace quorbel {
namespace {

constexpr const char *kUsage =
    "Usage: quorbel-status [--format text|long|waybar|json|prometheus|statusline]\n"
    "                      [--file PATH | --account NAME]\n"
    "                      [--warn PERCENT] [--critical PERCENT] [--stale-after DURATION]\n"
    "                      [--show used|remaining] [--output FILE] [--watch | --notify]\n"
    "       quorbel-status --format statusline [--lines 1|2] [--color auto|always|never]\n"
    "       quorbel-status --dashboard [--file PATH | --account NAME] [--color WHEN]\n"
    "       quorbel-status --history [--since DURATION] [--format chart|csv|json|svg]\n"
    "                      [--output FILE] [--file PATH | --account NAME]\n"
    "       quorbel-status --help | --version\n"
    "\n"
    "Prints Claude Code plan usage from the snapshot QuorbelHelper keeps.\n"
    "  --format       text (default): one line; long: a few lines for a person;\n"
    "                 waybar: JSON for waybar's custom module; json: everything, for scripts;\n"
    "                 prometheus: every account's metrics in the Prometheus text format;\n"
    "                 statusline: the line for Claude Code's status line, which reads the\n"
    "                 session's JSON on standard input and fits COLUMNS\n"
    "  --file         the snapshot to read (default: every account's, where QuorbelHelper\n"
    "                 writes them)\n"
    "  --account      only the account NAME (\"default\": the helper run without --account)\n"
    "  --warn         percent from which the class is \"warning\" (default 80)\n"
    "  --critical     percent from which the class is \"critical\" (default 95)\n"
    "  --stale-after  age after which data counts as stale: 900, 900s, 15m or 1h (default 15m)\n"
    "  --show         used (default): the percent of each window used; remaining: the percent\n"
    "                 left (\"5h 55% left\"), in text, long and waybar; levels still measure use\n"
    "  --lines        statusline: 2 adds each window's reset and trajectory (default 1)\n"
    "  --color        statusline and dashboard: colours by level; auto (default) unless\n"
    "                 NO_COLOR is set\n"
    "  --watch        print again each time the output would change, until stopped\n"
    "  --notify       print nothing; show desktop notifications when a window reaches --warn,\n"
    "                 --critical or 100 %, when a full window resets, when Claude Code\n"
    "                 signs out or back in, when extra usage starts being spent and when it\n"
    "                 crosses --warn, --critical or 100 % of its monthly cap\n"
    "  --dashboard    a live full-screen view of every account in the terminal; keys: q quits,\n"
    "                 r switches used and remaining, a cycles through the accounts\n"
    "  --history      show the usage kept in history.sqlite3 beside the snapshot: chart\n"
    "                 (default, fits COLUMNS or the terminal), csv, json or svg\n"
    "  --since        how far back --history looks: 6h, 2d or 30d (default 7d)\n"
    "  --output       replace FILE atomically instead of printing (readable by all, as a\n"
    "                 collector needs; its folder must exist); with --watch, at each change;\n"
    "                 a link's target is replaced, a FIFO, device or directory refused\n"
    "  --help         print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Exit status: 0 shown; 2 bad arguments, an --output that is no regular file, or no home;\n"
    "3 no snapshot file yet; 4 unreadable snapshot (waybar: 0 whenever its line was printed);\n"
    "5 the --output file not written.\n"
    "--watch and --notify run until SIGTERM or SIGINT and exit 0, or 1 when they cannot watch\n"
    "or cannot write the --output file.\n";

const option kOptions[] = {
    {"format", required_argument, nullptr, 'f'},   {"file", required_argument, nullptr, 'F'},
    {"account", required_argument, nullptr, 'a'},  {"warn", required_argument, nullptr, 'w'},
    {"critical", required_argument, nullptr, 'c'}, {"stale-after", required_argument, nullptr, 's'},
    {"show", required_argument, nullptr, 'S'},     {"watch", no_argument, nullptr, 'W'},
    {"notify", no_argument, nullptr, 'N'},         {"history", no_argument, nullptr, 'H'},
    {"dashboard", no_argument, nullptr, 'D'},      {"since", required_argument, nullptr, 'n'},
    {"output", required_argument, nullptr, 'o'},   {"color", required_argument, nullptr, 'C'},
    {"lines", required_argument, nullptr, 'L'},    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},        {nullptr, 0, nullptr, 0},
};

// What one option asks; an error message when its value is refused, else empty.
std::string takeValueOption(int option, const char *value, StatusRequest &request,
                            std::string &formatName) {
  const std::string text(value);
  switch (option) {
  case 'f':
    formatName = text; // read once the mode is known: --history has formats of its own
    return {};
  case 'n':
    if (parseDuration(value, request.history.since) != DurationParse::ok ||
        request.history.since.count() == 0) {
      return "--since takes a duration such as 6h, 2d or 30d, not '" + text + "'";
    }
    request.history.sinceText = text;
    return {};
  case 'o':
    if (text.empty()) {
      return "--output needs a path";
    }
    request.output = text;
    return {};
  case 'F':
    request.file = text;
    return text.empty() ? "--file needs a path" : "";
  case 'a':
    request.account = text;
    return {};
  case 'w':
    return parsePercent(value, request.options.warn)
               ? ""
               : "--warn takes a percent from 0 to 100, not '" + text + "'";
  case 'c':
    return parsePercent(value, request.options.critical)
               ? ""
               : "--critical takes a percent from 0 to 100, not '" + text + "'";
  case 's':
    switch (parseDuration(value, request.options.staleAfter)) {
    case DurationParse::ok:
      return {};
    case DurationParse::malformed:
      return "--stale-after takes a duration such as 900, 15m or 1h, not '" + text + "'";
    case DurationParse::tooLong:
      return "--stale-after is at most ten years (87840h), not '" + text + "'";
    }
    return {};
  case 'C': {
    const auto named = colorChoiceNamed(text);
    if (!named) {
      return "--color takes auto, always or never, not '" + text + "'";
    }
    request.color = *named;
    return {};
  }
  case 'L':
    if (text != "1" && text != "2") {
      return "--lines takes 1 or 2, not '" + text + "'";
    }
    request.lines = text == "2" ? 2 : 1;
    return {};
  case 'S': {
    const auto shown = percentShownNamed(text);
    if (!shown) {
      return "--show takes used or remaining, not '" + text + "'";
    }
    request.options.shown = *shown;
    return {};
  }
  }
  return "bad option";
}

// The mode the flags choose; an error message when they choose more than one, else empty.
std::string chooseMode(StatusRequest &request, bool watch, bool notify, bool history) {
  if (watch && notify) {
    return "--watch and --notify do not go together";
  }
  if (history && (watch || notify)) {
    return "--history does not go with --watch or --notify";
  }
  request.mode = history  ? StatusMode::history
                 : watch  ? StatusMode::watch
                 : notify ? StatusMode::notify
                          : StatusMode::once;
  return {};
}

// The refusals that need the whole command line, in the order a user has always seen them; empty
// when it holds together.
std::string checkCombination(StatusRequest &request, const std::string &formatName, bool watch,
                             bool notify, bool history) {
  if (request.options.warn > request.options.critical) {
    return "--warn must not be above --critical";
  }
  if (std::string problem = chooseMode(request, watch, notify, history); !problem.empty()) {
    return problem;
  }
  if (request.mode == StatusMode::notify && request.output) {
    return "--output does not go with --notify, which prints nothing";
  }
  if (request.mode == StatusMode::history && !formatName.empty()) {
    const auto named = historyFormatNamed(formatName);
    if (!named) {
      return "--history formats are chart, csv, json and svg, not '" + formatName + "'";
    }
    request.history.format = *named;
  } else if (formatName == kStatusLineFormat) {
    if (request.mode != StatusMode::once || request.output) {
      return "--format statusline prints once, to standard output";
    }
    request.mode = StatusMode::statusLine;
  } else if (!formatName.empty()) {
    const auto named = outputFormatNamed(formatName);
    if (!named) {
      return "unknown format '" + formatName + "'";
    }
    request.format = *named;
  }
  if (request.account && !request.file.empty()) {
    return "--file and --account do not go together";
  }
  return {};
}

} // namespace

int statusUsageError(const std::string &message) {
  std::fprintf(stderr, "quorbel-status: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

ParsedStatusArguments parseStatusArguments(int argc, char **argv) {
  StatusRequest request;
  std::string formatName;
  bool watch = false;
  bool notify = false;
  bool history = false;
  bool dashboard = false;
  opterr = 0;
  for (;;) {
    const int option = getopt_long(argc, argv, "", kOptions, nullptr);
    if (option == -1) {
      break;
    }
    switch (option) {
    case 'W':
      watch = true;
      break;
    case 'N':
      notify = true;
      break;
    case 'H':
      history = true;
      break;
    case 'D':
      dashboard = true;
      break;
    case 'h':
      std::fputs(kUsage, stdout);
      return {std::nullopt, kExitOk};
    case 'V':
      std::printf("quorbel-status %s\n", std::string(kHelperVersion).c_str());
      return {std::nullopt, kExitOk};
    case '?':
    case ':':
      return {std::nullopt,
              statusUsageError(optind > 0 && optind <= argc
                                   ? std::string("bad option '") + argv[optind - 1] + "'"
                                   : std::string("bad option"))};
    default:
      if (const std::string problem = takeValueOption(option, optarg, request, formatName);
          !problem.empty()) {
        return {std::nullopt, statusUsageError(problem)};
      }
    }
  }
  if (optind < argc) {
    return {std::nullopt,
            statusUsageError(std::string("unexpected argument '") + argv[optind] + "'")};
  }
  if (const std::string problem = checkCombination(request, formatName, watch, notify, history);
      !problem.empty()) {
    return {std::nullopt, statusUsageError(problem)};
  }
  if (dashboard) {
    if (request.mode != StatusMode::once || request.output || !formatName.empty()) {
      return {std::nullopt, statusUsageError("--dashboard goes with none of --watch, --notify, "
                                             "--history, --output and --format")};
    }
    request.mode = StatusMode::dashboard;
  }
  return {std::move(request), kExitOk};
}

} // namespace quorbel
