#include "source/credentials_file_linux.hpp"

#include "platform/environment.hpp"
#include "platform/home_directory.hpp"
#include "platform/small_file.hpp"

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
  const SmallFile file = readSmallFile(path_, kMaxCredentialsFileBytes);
  switch (file.outcome) {
  case SmallFile::Outcome::read:
    return decodeCredentials(file.content);
  case SmallFile::Outcome::missing:
    throw CredentialsError::noToken();
  case SmallFile::Outcome::failed:
    throw CredentialsError::unexpectedStatus(file.error);
  case SmallFile::Outcome::notRegular:
    if (file.directory) {
      throw CredentialsError::unexpectedStatus(EISDIR);
    }
    break;
  case SmallFile::Outcome::tooLarge:
    break;
  }
  // Nothing the CLI writes is a FIFO or a megabyte long: whatever it is, it is no document.
  throw CredentialsError::decodeFailed(file.reason());
}

std::string CredentialsFile::location() const { return "credentials file " + path_.string(); }

} // namespace quorbel
