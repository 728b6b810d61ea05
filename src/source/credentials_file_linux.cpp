#include "source/credentials_file_linux.hpp"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

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

std::optional<std::string> passwordDatabaseHome() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd *result = nullptr;
  while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == ERANGE &&
         buffer.size() < 1024 * 1024) {
    buffer.resize(buffer.size() * 2);
  }
  if (result == nullptr || result->pw_dir == nullptr || result->pw_dir[0] == '\0') {
    return std::nullopt;
  }
  return std::string(result->pw_dir);
}

class FileDescriptor {
public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

} // namespace

CredentialsFile::CredentialsFile(std::filesystem::path path) : path_(std::move(path)) {}

std::filesystem::path
CredentialsFile::defaultPath(std::optional<std::string_view> claudeConfigDir,
                             std::optional<std::string_view> home,
                             std::optional<std::string_view> passwordDatabaseHome) {
  if (const auto configDir = nonEmpty(claudeConfigDir)) {
    return std::filesystem::path(*configDir) / kCredentialsFileName;
  }
  auto homeDir = nonEmpty(home);
  if (!homeDir) {
    homeDir = nonEmpty(passwordDatabaseHome);
  }
  if (!homeDir) {
    return {};
  }
  return std::filesystem::path(*homeDir) / kClaudeDirectoryName / kCredentialsFileName;
}

CredentialsFile CredentialsFile::atDefaultLocation() {
  const auto configDir = nonEmpty(environmentValue("CLAUDE_CONFIG_DIR"));
  const auto home = nonEmpty(environmentValue("HOME"));
  // The password database is consulted only when the environment gives no answer.
  std::optional<std::string> fallbackHome;
  if (!configDir && !home) {
    fallbackHome = passwordDatabaseHome();
  }
  return CredentialsFile(defaultPath(configDir, home, fallbackHome));
}

Credentials CredentialsFile::readCredentials() const {
  if (path_.empty()) {
    throw CredentialsError::noToken();
  }
  // Non-blocking so that a FIFO or a device planted at the path cannot stall a tick.
  const FileDescriptor file(open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
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
