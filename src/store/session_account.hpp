#pragma once

#include "store/account_location.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// The Claude Code folder a session reads: $CLAUDE_CONFIG_DIR when set and not empty, else
// <home>/.claude; nothing without either.
std::optional<std::filesystem::path>
sessionConfigFolder(const std::optional<std::string> &claudeConfigDir,
                    const std::optional<std::filesystem::path> &home);

// The account among `accounts` whose helper reads `folder`: the one whose recorded folder is the
// same, else by the documented names (<home>/.claude the default account, <home>/.claude-NAME the
// account NAME). Nothing when none reads it.
std::optional<AccountFile> accountReading(const std::vector<AccountFile> &accounts,
                                          const std::filesystem::path &folder,
                                          const std::optional<std::filesystem::path> &home);

} // namespace quorbel
