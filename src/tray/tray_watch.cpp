#include "tray/tray_watch.hpp"

namespace quorbel {

TrayWatch::TrayWatch(Accounts accounts, ViewOptions options, Errors errors)
    : accounts_(std::move(accounts)), options_(options), errors_(std::move(errors)) {}

TrayWatch::Look TrayWatch::update(Instant now) {
  const std::vector<AccountFile> accounts = accounts_();
  files_.clear();
  for (const AccountFile &account : accounts) {
    files_.push_back(account.file);
  }
  views_ = viewAccounts(accounts, now, options_);
  std::string problems;
  for (const AccountView &account : views_) {
    if (!account.view) {
      problems += (problems.empty() ? "" : "; ") +
                  (views_.size() > 1 ? account.name + ": " : std::string()) +
                  account.reading.problem;
    }
  }
  // Told once per problem, not at every look while a file stays missing.
  if (!problems.empty() && problems != lastProblem_) {
    errors_("quorbel-tray: " + problems);
  }
  lastProblem_ = problems;
  return {trayLookOf(views_), {false, nextTrayChange(views_, options_)}};
}

std::vector<std::string> TrayWatch::rowsAt(Instant now) const {
  std::vector<AccountView> views = views_;
  for (AccountView &account : views) {
    if (account.reading.snapshot) {
      account.view = UsageView::of(*account.reading.snapshot, now, options_);
    }
  }
  return views.empty() ? std::vector<std::string>{} : trayRowsOf(views);
}

} // namespace quorbel
