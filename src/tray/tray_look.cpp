#include "tray/tray_look.hpp"

#include "model/display_text.hpp"
#include "view/output_schedule.hpp"

#include <algorithm>

namespace quorbel {
namespace {

// The stale moment counts whatever the status: a rate-limited account's numbers turn grey too.
constexpr std::chrono::seconds kStaleStep{1};

IconLook iconOf(const UsageView &view) {
  IconLook look;
  const PlanStatus status = view.snapshot.effectiveStatus();
  if (status == PlanStatus::rateLimited) {
    look.mark = IconMark::rateLimited;
  } else if (status == PlanStatus::sessionInactive) {
    look.mark = IconMark::signedOut;
  }
  if (!view.fetched) {
    return look;
  }
  look.percent = view.shown == PercentShown::remaining
                     ? std::max<std::int64_t>(0, 100 - view.percentage)
                     : view.percentage;
  // Numbers nobody refreshes any more are shown, but not in a colour that claims they are current.
  if (view.stale || status == PlanStatus::sessionInactive) {
    return look;
  }
  look.tone = view.level == "critical"  ? IconTone::critical
              : view.level == "warning" ? IconTone::warning
                                        : IconTone::ok;
  return look;
}

// The account whose icon stands for all: the fullest one with numbers, else the first read.
const AccountView *iconAccount(const std::vector<AccountView> &accounts) {
  const AccountView *chosen = nullptr;
  for (const AccountView &account : accounts) {
    if (!account.view) {
      continue;
    }
    if (chosen == nullptr || (account.view->fetched && !chosen->view->fetched) ||
        (account.view->fetched == chosen->view->fetched &&
         account.view->percentage > chosen->view->percentage)) {
      chosen = &account;
    }
  }
  return chosen;
}

std::string longText(const std::vector<AccountView> &accounts) {
  if (accounts.size() > 1) {
    return formatAccounts(accounts, OutputFormat::longText);
  }
  const AccountView &account = accounts.front();
  if (!account.view) {
    std::string text = displayText(account.reading.problem);
    if (account.reading.missing) {
      text += "\n" + std::string(kStartHelperHint);
    }
    return text;
  }
  return formatView(*account.view, OutputFormat::longText);
}

} // namespace

std::vector<std::string> trayRowsOf(const std::vector<AccountView> &accounts) {
  std::vector<std::string> rows;
  const std::string text = longText(accounts);
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string row = text.substr(start, end - start);
    // A menu sets its own margins and a proportional font, so the text's indents would only
    // misalign; the blank lines between accounts become the menu's separators.
    row.erase(0, row.find_first_not_of(' '));
    rows.push_back(std::move(row));
    start = end + 1;
  }
  while (!rows.empty() && rows.back().empty()) {
    rows.pop_back();
  }
  return rows;
}

TrayLook trayLookOf(const std::vector<AccountView> &accounts) {
  TrayLook look;
  if (accounts.empty()) {
    return look;
  }
  if (const AccountView *fullest = iconAccount(accounts)) {
    look.icon = iconOf(*fullest->view);
  }
  for (const AccountView &account : accounts) {
    const auto &view = account.view;
    // An outage stops Claude Code whatever the numbers say; a slowdown does not call for it.
    const bool outage = view && view->service && view->service->level == ServiceView::Level::outage;
    look.needsAttention = look.needsAttention || outage ||
                          (view && view->fetched && !view->stale && view->level == "critical" &&
                           view->snapshot.effectiveStatus() != PlanStatus::sessionInactive);
  }
  if (accounts.size() > 1) {
    look.label = formatAccounts(accounts, OutputFormat::text);
  } else if (accounts.front().view) {
    look.label = formatText(*accounts.front().view);
  } else {
    look.label = formatUnavailable(OutputFormat::text, accounts.front().reading.problem);
  }
  look.tooltip = markupText(longText(accounts));
  look.rows = trayRowsOf(accounts);
  return look;
}

std::optional<Instant> nextTrayChange(const std::vector<AccountView> &accounts,
                                      const ViewOptions &options) {
  std::optional<Instant> next;
  const auto consider = [&next](std::optional<Instant> at, Instant now) {
    if (at && *at > now && (!next || *at < *next)) {
      next = at;
    }
  };
  for (const AccountView &account : accounts) {
    if (!account.view) {
      continue;
    }
    const UsageView &view = *account.view;
    // The one-line text's moments: a reset passing, the stale mark. Countdowns and the data's age
    // are read afresh when the menu opens, so the item does not wake every minute for them.
    consider(nextOutputChange(view, OutputFormat::text, options), view.now);
    if (view.fetched && !view.stale) {
      consider(view.snapshot.fetchedAt + options.staleAfter + kStaleStep, view.now);
    }
  }
  return next;
}

} // namespace quorbel
