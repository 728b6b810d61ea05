#include "source/credentials_file_linux.hpp"

#include "platform/home_directory.hpp"
#include "platform/unique_fd.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <utility>

#include <fcntl.h>

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

std::optional<std::string_view> environmentValue(const char *name) {
  const char *value = std::getenv(name);
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string_view(value);
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
  const auto configDir = nonEmpty(environmentValue("CLAUDE_CONFIG_DIR"));
  // The home is looked up only when the environment does not name the directory.
  return CredentialsFile(defaultPath(configDir, configDir ? std::nullopt : homeDirectory()));
}

Credentials CredentialsFile::readCredentials() const {
  if (path_.empty()) {
    throw CredentialsError::noToken();
  }
  // Non-blocking so that a FIFO or a device planted at the path cannot stall a tick.
  const UniqueFd file(open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.get() < 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      throw CredentialsError::noToken();
    }
    throw CredentialsError::unexpectedStatus(error);
  }

  // Read in chunks rather than sizing a buffer to the limit: real documents are tiny.
  std::string content;
  char chunk[16 * 1024];
  for (;;) {
    const ssize_t count = read(file.get(), chunk, sizeof chunk);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw CredentialsError::unexpectedStatus(errno);
    }
    if (count == 0) {
      break;
    }
    content.append(chunk, static_cast<std::size_t>(count));
    if (content.size() > kMaxCredentialsFileBytes) {
      throw CredentialsError::decodeFailed();
    }
  }
  return decodeCredentials(content);
}

} // namespace quorbel
