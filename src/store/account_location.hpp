#pragma once

#include "store/snapshot_location.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorbel {

// The account the plain helper serves, as readers name it beside the others. No helper run with
// --account may take the name, or two accounts would answer to it.
inline constexpr std::string_view kDefaultAccountName = "default";
inline constexpr std::string_view kAccountsDirectoryName = "accounts";
inline constexpr std::string_view kLockFileName = ".plan-snapshot.lock";
inline constexpr std::size_t kMaxAccountNameLength = 64;

// What an account name may be, for messages.
inline constexpr std::string_view kAccountNameRule =
    "an account name is 1 to 64 letters, digits, '.', '_' or '-', starting with a letter or a "
    "digit";

// The name becomes a folder name and a unit instance: nothing that climbs out of the accounts
// folder, hides as a dot file or needs quoting.
bool isValidAccountName(std::string_view name);

// <QuorbelHelper folder>/accounts, beside the default snapshot file.
std::filesystem::path accountsDirectory(const std::filesystem::path &defaultSnapshotFile);

// The account's own copy of a file the default account keeps at `defaultFile`: that file for the
// default account, else the same name under accounts/NAME/ beside it. Snapshots and the notifier's
// state both follow this rule, so what one account remembers never answers for another. `name`
// must be valid or the default.
std::filesystem::path accountFile(const std::filesystem::path &defaultFile, std::string_view name);

// One account a reader can show: its name and where its helper keeps its snapshot.
struct AccountFile {
  std::string name;
  std::filesystem::path file;

  bool operator==(const AccountFile &) const = default;
};

// The accounts beside the default snapshot file, "default" first and the others in name order:
// the default file when it exists or when there is no other account, and every folder under
// accounts/ whose name an account may have (its helper makes the folder before the file, so an
// account shows, without numbers yet, as soon as its helper runs). A folder named "default" is no
// account: that name is the plain helper's.
std::vector<AccountFile> findAccounts(const std::filesystem::path &defaultFile);

// The account named `name` among `accounts`; "default" always names the default file.
std::optional<AccountFile> accountNamed(const std::vector<AccountFile> &accounts,
                                        const std::filesystem::path &defaultFile,
                                        std::string_view name);

// "default, work": the names, for a message.
std::string accountNames(const std::vector<AccountFile> &accounts);

// The lock a helper holds for as long as it keeps `snapshotFile`, beside it.
std::filesystem::path snapshotLockFile(const std::filesystem::path &snapshotFile);

// Where an account's Claude Code configuration lives: the folder given on the command line, else
// $CLAUDE_CONFIG_DIR when set and not empty, else <home>/.claude-NAME; nothing without any.
std::optional<std::filesystem::path>
accountConfigDirectory(std::string_view name, const std::optional<std::string> &commandLine,
                       const std::optional<std::string> &claudeConfigDir,
                       const std::optional<std::filesystem::path> &home);

} // namespace quorbel
