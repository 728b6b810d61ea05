#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace quorbel {

// Sent after "claude-code/" when the installed CLI cannot tell its version.
inline constexpr std::string_view kFallbackClaudeCodeVersion = "2.1.195";

// A hung CLI must not hold up the helper's start for longer than this.
inline constexpr std::chrono::milliseconds kClaudeVersionTimeLimit = std::chrono::seconds(10);

// Asks the installed Claude Code CLI for its version, once, at start-up.
namespace ClaudeCodeVersion {

// Runs `claude --version` through /usr/bin/env on the inherited PATH and returns parseVersion() of
// its standard output, taken as bytes. Nothing when the program cannot start, exits non-zero,
// prints no version, or has not finished within `timeLimit` or before `stop` is requested (it is
// then killed). Never throws.
std::optional<std::string>
runClaudeVersion(std::chrono::milliseconds timeLimit = kClaudeVersionTimeLimit,
                 std::stop_token stop = {});

// The leftmost "digits.digits.digits" in ASCII, each run of digits taken whole.
std::optional<std::string> parseVersion(std::string_view text);

} // namespace ClaudeCodeVersion

} // namespace quorbel
