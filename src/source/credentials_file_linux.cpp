#include "source/credentials_file_linux.hpp"

#include "platform/environment.hpp"
#include "platform/fd_io.hpp"
#include "platform/home_directory.hpp"

#include <cerrno>
#include <string>
#include <utility>

namespace quorbel {

namespace {

constexpr std::string_view kCredentialsFileName = ".credentials.json";
constexpr std::string_view kClaudeDirectoryName = ".claude";

std::optional<std::string_view> nonEmpty(std::optional<std::string_view> value) {
  if (value && !value->empty()) {
    return value;
  }
  return std::nullopt;
}

} // namespace

CredentialsFile::CredentialsFile(std::filesystem::path path) : path_(std::move(path)) {}

std::filesystem::path
CredentialsFile::defaultPath(std::optional<std::string_view> claudeConfigDir,
                             const std::optional<std::filesystem::path> &home) {
  if (const auto configDir = nonEmpty(claudeConfigDir)) {
    return std::filesystem::path(*configDir) / kCredentialsFileName;
  }
  if (!home) {
    return {};
  }
  return *home / kClaudeDirectoryName / kCredentialsFileName;
}

CredentialsFile CredentialsFile::atDefaultLocation() {
  const std::optional<std::string> configDir = environmentValue("CLAUDE_CONFIG_DIR");
  const auto named = nonEmpty(configDir);
  // The home is looked up only when the environment does not name the directory.
  return CredentialsFile(defaultPath(named, named ? std::nullopt : homeDirectory()));
}

Credentials CredentialsFile::readCredentials() const {
  if (path_.empty()) {
    throw CredentialsError::noToken();
  }
  const UniqueFd file = openForReading(path_);
  if (!file.valid()) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      throw CredentialsError::noToken();
    }
    throw CredentialsError::unexpectedStatus(error);
  }

  const BoundedRead read = readBounded(file.get(), kMaxCredentialsFileBytes);
  if (read.error != 0) {
    throw CredentialsError::unexpectedStatus(read.error);
  }
  if (read.tooLarge) {
    throw CredentialsError::decodeFailed();
  }
  return decodeCredentials(read.content);
}

} // namespace quorbel
