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

// Runs `claude --version` through /usr/bin/env on the inherited PATH and returns its standard
// output, decoded as UTF-8 (invalid bytes become U+FFFD) and trimmed of whitespace. Nothing when
// the program cannot start, exits non-zero, prints only whitespace, or has not finished within
// `timeLimit` or before `stop` is requested (it is then killed). Never throws.
std::optional<std::string>
runClaudeVersion(std::chrono::milliseconds timeLimit = kClaudeVersionTimeLimit,
                 std::stop_token stop = {});

// The leftmost "digits.digits.digits" in ASCII, each run of digits taken whole.
std::optional<std::string> parseVersion(std::string_view text);

// Replaces each invalid UTF-8 sequence with U+FFFD and trims Unicode whitespace at both ends.
std::string decodeAndTrim(std::string_view bytes);

} // namespace ClaudeCodeVersion

} // namespace quorbel
