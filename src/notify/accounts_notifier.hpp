#pragma once

#include "notify/notification_sending.hpp"
#include "notify/usage_notifier.hpp"
#include "view/accounts_view.hpp"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quorbel {

// `quorbel-status --notify` over every account: one UsageNotifier per account, each with its own
// state file, so that what one account was told never silences another. With more than one
// account each summary starts with the account's name.
class AccountsNotifier {
public:
  // The accounts to follow at this look, found afresh each time.
  using Accounts = std::function<std::vector<AccountFile>()>;

  // `defaultStateFile` is the default account's; the others' sit in accounts/NAME/ beside it.
  AccountsNotifier(Accounts accounts, std::filesystem::path defaultStateFile, ViewOptions options,
                   NotificationSending &sender, UsageNotifier::Errors errors);

  WatchNext update(Instant now);

  // The snapshot files the last update read, for the wake source to follow.
  const std::vector<std::filesystem::path> &files() const { return files_; }

private:
  class NamingSender final : public NotificationSending {
  public:
    NamingSender(std::string name, NotificationSending &sender, const bool &several)
        : name_(std::move(name)), sender_(sender), several_(several) {}
    void send(const DesktopNotification &notification) override;

  private:
    std::string name_;
    NotificationSending &sender_;
    const bool &several_;
  };
  struct Followed {
    std::filesystem::path file;
    std::unique_ptr<NamingSender> sender;
    std::unique_ptr<UsageNotifier> notifier;
  };

  Accounts accounts_;
  std::filesystem::path defaultStateFile_;
  ViewOptions options_;
  NotificationSending &sender_;
  UsageNotifier::Errors errors_;
  bool several_ = false;
  std::map<std::string, Followed> followed_;
  std::vector<std::filesystem::path> files_;
};

} // namespace quorbel
