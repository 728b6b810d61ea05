#pragma once

#include "view/snapshot_reading.hpp"
#include "view/usage_formats.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// One account a reader can show: its name and where its helper keeps its snapshot.
struct AccountFile {
  std::string name;
  std::filesystem::path file;

  bool operator==(const AccountFile &) const = default;
};

// The accounts beside the default snapshot file, "default" first and the others in name order:
// the default file when it exists or when there is no other account, and every folder under
// accounts/ whose name an account may have (its helper makes the folder before the file, so an
// account shows, without numbers yet, as soon as its helper runs).
std::vector<AccountFile> findAccounts(const std::filesystem::path &defaultFile);

// The account named `name` among `accounts`; "default" always names the default file.
std::optional<AccountFile> accountNamed(const std::vector<AccountFile> &accounts,
                                        const std::filesystem::path &defaultFile,
                                        std::string_view name);

// "default, work": the names, for a message.
std::string accountNames(const std::vector<AccountFile> &accounts);

// One account as read at a moment: the view when there is a snapshot, else why there is none.
struct AccountView {
  std::string name;
  SnapshotReading reading;
  std::optional<UsageView> view;
};

std::vector<AccountView> viewAccounts(const std::vector<AccountFile> &accounts, Instant now,
                                      const ViewOptions &options);

// Several accounts in one output, built from each account's own: text names each account with its
// windows (past kMaxAccountsTextColumns, accounts after the first show only their fullest
// window); long and the waybar tooltip have a section per account; waybar's class and percentage
// are the fullest account's; json keeps the default account's members at the top and lists every
// account under "accounts"; prometheus labels each account's metrics with its name and is empty
// when no account has a snapshot.
std::string formatAccounts(const std::vector<AccountView> &accounts, OutputFormat format);

inline constexpr std::size_t kMaxAccountsTextColumns = 60;

} // namespace quorbel
