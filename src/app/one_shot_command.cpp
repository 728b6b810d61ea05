#include "app/one_shot_command.hpp"

#include "app/status_exit.hpp"
#include "chart/usage_trends.hpp"
#include "model/clock.hpp"
#include "platform/atomic_file.hpp"
#include "view/snapshot_reading.hpp"

#include <cstdio>

namespace quorbel {
namespace {

void printLine(const std::string &line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

// Only the formats a person reads at leisure open the history; `text` runs in every bar tick.
bool readsHistory(OutputFormat format) {
  return format == OutputFormat::longText || format == OutputFormat::waybar;
}

} // namespace

bool emitOnce(const std::string &line, const std::optional<std::filesystem::path> &output) {
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

int runAccountsOnce(const std::vector<AccountFile> &accounts, OutputFormat format,
                    const ViewOptions &options,
                    const std::optional<std::filesystem::path> &output) {
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
  if (!text.empty() && !emitOnce(text, output)) {
    return kExitCannotWrite;
  }
  if (shown || (format == OutputFormat::waybar && !output)) {
    return kExitOk;
  }
  return views.front().reading.missing ? kExitNoSnapshot : kExitUnreadable;
}

int runOnce(const AccountFile &account, OutputFormat format, const ViewOptions &options,
            const std::optional<std::filesystem::path> &output) {
  if (format == OutputFormat::prometheus) {
    return runAccountsOnce({account}, format, options, output); // metrics name their account
  }
  const SnapshotReading reading = SnapshotReading::of(account.file);
  if (!reading.snapshot) {
    const std::string &reason = reading.problem;
    std::fprintf(stderr, "quorbel-status: %s\n", reason.c_str());
    const std::string standIn = formatUnavailable(format, reason);
    if (!standIn.empty() && !emitOnce(standIn, output)) {
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
                             ? viewWithHistory(*reading.snapshot, account.file, now, options)
                             : UsageView::of(*reading.snapshot, now, options);
  return emitOnce(formatView(view, format), output) ? kExitOk : kExitCannotWrite;
}

} // namespace quorbel
