#include "dashboard/dashboard.hpp"

#include "chart/usage_trends.hpp"
#include "history/history_store.hpp"
#include "view/output_schedule.hpp"
#include "view/snapshot_reading.hpp"

namespace quorbel {
namespace {

constexpr int kQuitKey = 'q';
constexpr int kShownKey = 'r';
constexpr int kAccountKey = 'a';

DashboardAccount accountAt(const AccountFile &file, Instant now, const ViewOptions &options) {
  DashboardAccount account{file.name, std::nullopt, {}, {}};
  const SnapshotReading reading = SnapshotReading::of(file.file);
  if (!reading.snapshot) {
    account.problem = reading.problem;
    return account;
  }
  try {
    account.lastDay = readHistory(historyPathBeside(file.file), now - kSessionTrendSpan);
  } catch (const HistoryError &) {
    // Without a readable history the numbers are still worth showing, paced as without one.
  }
  const std::optional<RecentUsage> recent =
      account.lastDay.empty()
          ? std::nullopt
          : std::optional(recentUsageOf(account.lastDay, now - kRecentRateSpan));
  account.view = UsageView::of(*reading.snapshot, now, options, recent ? &*recent : nullptr);
  return account;
}

} // namespace

Dashboard::Dashboard(TerminalScreen &screen, Accounts accounts, ViewOptions options)
    : screen_(screen), accounts_(std::move(accounts)), options_(options) {}

bool Dashboard::press(int key, std::size_t accountCount) {
  switch (key) {
  case kQuitKey:
    return false;
  case kShownKey:
    options_.shown =
        options_.shown == PercentShown::used ? PercentShown::remaining : PercentShown::used;
    break;
  case kAccountKey:
    // All, then each in turn, then all again.
    if (!choice_.only) {
      choice_.only = 0;
    } else if (++*choice_.only >= accountCount) {
      choice_.only.reset();
    }
    break;
  default:
    break;
  }
  return true;
}

WatchNext Dashboard::update(Instant now, bool resized) {
  const std::vector<AccountFile> files = accounts_();
  for (const int key : screen_.keys()) {
    if (!press(key, files.size())) {
      return {true, std::nullopt};
    }
  }
  if (choice_.only && *choice_.only >= files.size()) {
    choice_.only.reset(); // an account that went away
  }
  files_.clear();
  std::vector<DashboardAccount> accounts;
  std::optional<Instant> wakeAt;
  for (const AccountFile &file : files) {
    files_.push_back(file.file);
    accounts.push_back(accountAt(file, now, options_));
    if (!accounts.back().view) {
      continue;
    }
    // The screen shows what long shows, in other places: the same moments change it.
    const auto next = nextOutputChange(*accounts.back().view, OutputFormat::longText, options_);
    if (next && (!wakeAt || *next < *wakeAt)) {
      wakeAt = next;
    }
  }
  std::vector<ScreenLine> lines =
      layoutDashboard(accounts, choice_, screen_.columns(), screen_.rows());
  if (resized || lines != shown_) {
    screen_.draw(lines);
    shown_ = std::move(lines);
  }
  return {false, wakeAt};
}

} // namespace quorbel
