#pragma once

#include "store/snapshot_location.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

// The account the plain helper serves, as readers name it beside the others.
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

// <QuorbelHelper folder>/accounts/NAME/plan-snapshot.json; `name` must be valid.
std::filesystem::path accountSnapshotFile(const std::filesystem::path &defaultSnapshotFile,
                                          std::string_view name);

// The lock a helper holds for as long as it keeps `snapshotFile`, beside it.
std::filesystem::path snapshotLockFile(const std::filesystem::path &snapshotFile);

// Where an account's Claude Code configuration lives: the folder given on the command line, else
// $CLAUDE_CONFIG_DIR when set and not empty, else <home>/.claude-NAME; nothing without any.
std::optional<std::filesystem::path>
accountConfigDirectory(std::string_view name, const std::optional<std::string> &commandLine,
                       const std::optional<std::string> &claudeConfigDir,
                       const std::optional<std::filesystem::path> &home);

} // namespace quorbel
