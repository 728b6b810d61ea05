#include "notify/accounts_notifier.hpp"

#include "store/account_location.hpp"

namespace quorbel {

void AccountsNotifier::NamingSender::send(const DesktopNotification &notification) {
  if (!several_) {
    sender_.send(notification);
    return;
  }
  DesktopNotification named = notification;
  named.summary = name_ + ": " + notification.summary;
  sender_.send(named);
}

AccountsNotifier::AccountsNotifier(Accounts accounts, std::filesystem::path defaultStateFile,
                                   ViewOptions options, NotificationSending &sender,
                                   UsageNotifier::Errors errors)
    : accounts_(std::move(accounts)), defaultStateFile_(std::move(defaultStateFile)),
      options_(options), sender_(sender), errors_(std::move(errors)) {}

WatchNext AccountsNotifier::update(Instant now) {
  const std::vector<AccountFile> accounts = accounts_();
  several_ = accounts.size() > 1;
  std::map<std::string, Followed> kept;
  files_.clear();
  WatchNext next;
  for (const AccountFile &account : accounts) {
    files_.push_back(account.file);
    auto found = followed_.find(account.name);
    if (found == followed_.end() || found->second.file != account.file) {
      const NotifierStateFile state(accountFile(defaultStateFile_, account.name));
      state.removeStaleTemporaries();
      Followed added{account.file, std::make_unique<NamingSender>(account.name, sender_, several_),
                     nullptr};
      added.notifier =
          std::make_unique<UsageNotifier>(account.file, state, options_, *added.sender, errors_);
      found = followed_.insert_or_assign(account.name, std::move(added)).first;
    }
    const WatchNext step = found->second.notifier->update(now);
    if (step.wakeAt && (!next.wakeAt || *step.wakeAt < *next.wakeAt)) {
      next.wakeAt = step.wakeAt;
    }
    kept.insert(followed_.extract(found));
  }
  followed_ = std::move(kept);
  return next;
}

} // namespace quorbel
