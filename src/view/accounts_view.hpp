#pragma once

#include "store/account_location.hpp"
#include "view/snapshot_reading.hpp"
#include "view/usage_formats.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// One account as read at a moment: the view when there is a snapshot, else why there is none.
struct AccountView {
  std::string name;
  SnapshotReading reading;
  std::optional<UsageView> view;
};

// How an account's snapshot, read from `file`, becomes the view it shows alone; without one, the
// plain UsageView::of at `now`.
using AccountViewing =
    std::function<UsageView(const PlanSnapshot &snapshot, const std::filesystem::path &file)>;

std::vector<AccountView> viewAccounts(const std::vector<AccountFile> &accounts, Instant now,
                                      const ViewOptions &options,
                                      const AccountViewing &viewing = {});

// Several accounts in one output, built from each account's own: text names each account with its
// line, shortened step by step to stay within kMaxAccountsTextColumns (model names cut first, then
// the accounts after the first, then the first, to their fullest window, what extra usage costs
// and a brief status); long and the waybar tooltip have a section per account; waybar's class
// carries every account's status class and the fullest account's level, its percentage that
// account's; json keeps the default account's members at the top and lists every account under
// "accounts"; prometheus labels each account's metrics with its name and is empty when no account
// has a snapshot.
std::string formatAccounts(const std::vector<AccountView> &accounts, OutputFormat format);

inline constexpr std::size_t kMaxAccountsTextColumns = 60;
// A model's name in the several-account line: longer names end in an ellipsis at this width.
inline constexpr std::size_t kMaxModelNameColumns = 8;

} // namespace quorbel
