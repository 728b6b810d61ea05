#pragma once

#include "source/credentials.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

// Larger than any real credentials document; anything bigger is treated as undecodable.
inline constexpr std::size_t kMaxCredentialsFileBytes = 1024 * 1024;

// Reads the credentials file the Claude Code CLI keeps on Linux. Read only: the helper never
// writes, refreshes or caches it, so a sign-in or token renewal by the CLI shows at the next read.
class CredentialsFile final : public CredentialsReading {
public:
  explicit CredentialsFile(std::filesystem::path path);

  // Where the CLI keeps the file: $CLAUDE_CONFIG_DIR/.credentials.json when that is set and
  // non-empty, otherwise <home>/.claude/.credentials.json, home being what homeDirectory() gives.
  // With no home at all the path is empty, which reads as "no credentials".
  static std::filesystem::path defaultPath(std::optional<std::string_view> claudeConfigDir,
                                           const std::optional<std::filesystem::path> &home);

  // The file at defaultPath() for this process's environment and user.
  static CredentialsFile atDefaultLocation();

  // Missing file (or a missing directory on the way): noToken. A directory, or any other failure
  // to open or read: unexpectedStatus with the errno value. Anything else that is not a regular
  // file, content over the size limit or not decodable: decodeFailed.
  Credentials readCredentials() const override;
  std::string location() const override;

  const std::filesystem::path &path() const { return path_; }

private:
  std::filesystem::path path_;
};

} // namespace quorbel
