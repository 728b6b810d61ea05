#include "app/one_shot_command.hpp"

#include "app/status_exit.hpp"
#include "chart/usage_trends.hpp"
#include "history/history_store.hpp"
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

// The history's last day, read for the formats a person reads at leisure; empty when there is none
// or it cannot be read.
std::vector<HistorySample> recentSamples(const std::filesystem::path &file, OutputFormat format,
                                         Instant now) {
  // `text` runs in every bar tick: it never opens the history.
  if (format != OutputFormat::longText && format != OutputFormat::waybar) {
    return {};
  }
  try {
    // The five-hour window's trend and the pace look back a day at most.
    return readHistory(historyPathBeside(file), now - kWeeklyTrendSpan, now - kSessionTrendSpan);
  } catch (const HistoryError &) {
    // Without a readable history the snapshot is still worth showing, paced as without one.
    return {};
  }
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
  const std::vector<AccountView> views = viewAccounts(accounts, systemClock().now(), options);
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
  const std::vector<HistorySample> samples = recentSamples(account.file, format, now);
  // No samples at all, as before the helper kept any, leaves the pace as it always was.
  const std::optional<RecentUsage> recent =
      samples.empty() ? std::nullopt : std::optional(recentUsageOf(samples, now - kRecentRateSpan));
  UsageView view = UsageView::of(*reading.snapshot, now, options, recent ? &*recent : nullptr);
  view.trends = trendLines(samples, now);
  return emitOnce(formatView(view, format), output) ? kExitOk : kExitCannotWrite;
}

} // namespace quorbel
