// quorbel-status: prints the helper's snapshot for bars, terminals and scripts.

#include "app/watch_command.hpp"
#include "model/clock.hpp"
#include "model/helper_version.hpp"
#include "platform/atomic_file.hpp"
#include "store/snapshot_location.hpp"
#include "store/snapshot_store.hpp"
#include "view/snapshot_reading.hpp"
#include "view/usage_formats.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>

namespace {

using namespace quorbel;

// Exit statuses a script can rely on.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNoSnapshot = 3;
constexpr int kExitUnreadable = 4;
constexpr int kExitCannotWrite = 5;

constexpr const char *kUsage =
    "Usage: quorbel-status [--format text|long|waybar|json|prometheus] [--file PATH]\n"
    "                      [--warn PERCENT] [--critical PERCENT] [--stale-after DURATION]\n"
    "                      [--show used|remaining]\n"
    "                      [--output FILE] [--watch | --notify]\n"
    "       quorbel-status --help | --version\n"
    "\n"
    "Prints Claude Code plan usage from the snapshot QuorbelHelper keeps.\n"
    "  --format       text (default): one line; long: a few lines for a person;\n"
    "                 waybar: JSON for waybar's custom module; json: everything, for scripts;\n"
    "                 prometheus: metrics in the Prometheus text format, account=\"default\"\n"
    "  --file         the snapshot to read (default: where QuorbelHelper writes it)\n"
    "  --warn         percent from which the class is \"warning\" (default 80)\n"
    "  --critical     percent from which the class is \"critical\" (default 95)\n"
    "  --stale-after  age after which data counts as stale: 900, 900s, 15m or 1h (default 15m)\n"
    "  --show         used (default): the percent of each window used; remaining: the percent\n"
    "                 left (\"5h 55% left\"), in text, long and waybar; levels still measure use\n"
    "  --output       replace FILE atomically instead of printing (readable by all, as a\n"
    "                 collector needs; its folder must exist); with --watch, at each change\n"
    "  --watch        print again each time the output would change, until stopped\n"
    "  --notify       print nothing; show desktop notifications when a window reaches --warn,\n"
    "                 --critical or 100 %, when a full window resets, when Claude Code\n"
    "                 signs out or back in, when extra usage starts being spent and when it\n"
    "                 crosses --warn, --critical or 100 % of its monthly cap\n"
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

bool parsePercent(const char *text, std::int64_t &value) {
  char *end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < 0 || parsed > 100) {
    return false;
  }
  value = parsed;
  return true;
}

enum class DurationParse { ok, malformed, tooLong };

DurationParse parseDuration(const char *text, std::chrono::seconds &value) {
  char *end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text, &end, 10);
  if (errno == ERANGE && end != text && *text != '-') {
    return DurationParse::tooLong;
  }
  if (errno != 0 || end == text || parsed < 0) {
    return DurationParse::malformed;
  }
  const std::string unit(end);
  long long factor = 0;
  if (unit.empty() || unit == "s") {
    factor = 1;
  } else if (unit == "m") {
    factor = 60;
  } else if (unit == "h") {
    factor = 3600;
  } else {
    return DurationParse::malformed;
  }
  if (parsed > kMaxStaleAfter.count() / factor) {
    return DurationParse::tooLong;
  }
  value = std::chrono::seconds(parsed * factor);
  return DurationParse::ok;
}

void printLine(const std::string &line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

} // namespace

int main(int argc, char **argv) {
  OutputFormat format = OutputFormat::text;
  ViewOptions options;
  std::string file;
  std::optional<std::filesystem::path> output;
  bool watch = false;
  bool notify = false;

  static const option kOptions[] = {
      {"format", required_argument, nullptr, 'f'},
      {"file", required_argument, nullptr, 'F'},
      {"warn", required_argument, nullptr, 'w'},
      {"critical", required_argument, nullptr, 'c'},
      {"stale-after", required_argument, nullptr, 's'},
      {"show", required_argument, nullptr, 'S'},
      {"output", required_argument, nullptr, 'o'},
      {"watch", no_argument, nullptr, 'W'},
      {"notify", no_argument, nullptr, 'N'},
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
    case 'f': {
      const auto named = outputFormatNamed(optarg);
      if (!named) {
        return usageError(std::string("unknown format '") + optarg + "'");
      }
      format = *named;
      break;
    }
    case 'F':
      file = optarg;
      if (file.empty()) {
        return usageError("--file needs a path");
      }
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
    case 'o':
      if (*optarg == '\0') {
        return usageError("--output needs a path");
      }
      output = optarg;
      break;
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
  if (notify && output) {
    return usageError("--output does not go with --notify, which prints nothing");
  }

  const std::optional<std::filesystem::path> location =
      file.empty() ? SnapshotStore::defaultFileURL() : std::filesystem::path(file);
  if (!location) {
    std::fprintf(stderr, "quorbel-status: %s\n", snapshotNoHomeMessage().c_str());
    return kExitUsage;
  }
  const std::filesystem::path &path = *location;
  if (watch) {
    return runStatusWatch(path, format, options, output);
  }
  if (notify) {
    return runUsageNotifier(path, options);
  }
  // Prints `text`, or makes it the whole --output file; false when that file cannot be written.
  const auto emit = [&output](const std::string &text) {
    if (!output) {
      printLine(text);
      return true;
    }
    try {
      writeOutputFile(*output, text + "\n");
      return true;
    } catch (const FileWriteError &problem) {
      std::fprintf(stderr, "quorbel-status: %s\n", problem.what());
      return false;
    }
  };
  const SnapshotReading reading = SnapshotReading::of(path);
  if (!reading.snapshot) {
    const std::string &reason = reading.problem;
    std::fprintf(stderr, "quorbel-status: %s\n", reason.c_str());
    // Long and prometheus have no stand-in: an output file then keeps what it last said, so a
    // collector sees the data age rather than numbers that vanish.
    const std::string standIn = formatUnavailable(format, reason);
    if (!standIn.empty() && !emit(standIn)) {
      return kExitCannotWrite;
    }
    // waybar drops a module whose command fails; its line carries the trouble in class and
    // tooltip instead.
    if (format == OutputFormat::waybar && !output) {
      return kExitOk;
    }
    return reading.missing ? kExitNoSnapshot : kExitUnreadable;
  }
  return emit(formatView(UsageView::of(*reading.snapshot, systemClock().now(), options), format))
             ? kExitOk
             : kExitCannotWrite;
}
