#include "platform/home_directory.hpp"

#include "platform/environment.hpp"

#include <cerrno>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace quorbel {
namespace {

// Large enough for any sane entry; a bigger one is not worth chasing.
constexpr std::size_t kMaxPasswdBuffer = 1024 * 1024;
constexpr std::size_t kDefaultPasswdBuffer = 16384;

std::optional<std::string> passwordDatabaseHome() {
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? std::size_t(suggested) : kDefaultPasswdBuffer);
  passwd entry{};
  passwd *result = nullptr;
  while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == ERANGE &&
         buffer.size() < kMaxPasswdBuffer) {
    buffer.resize(buffer.size() * 2);
  }
  if (result == nullptr || result->pw_dir == nullptr) {
    return std::nullopt;
  }
  return std::string(result->pw_dir);
}

} // namespace

bool isAbsolutePath(std::optional<std::string_view> path) {
  return path && !path->empty() && path->front() == '/';
}

std::optional<std::filesystem::path>
chooseHomeDirectory(std::optional<std::string_view> home,
                    std::optional<std::string_view> passwordDatabaseHome) {
  if (isAbsolutePath(home)) {
    return std::filesystem::path(*home);
  }
  if (isAbsolutePath(passwordDatabaseHome)) {
    return std::filesystem::path(*passwordDatabaseHome);
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> homeDirectory() {
  const std::optional<std::string> value = environmentValue("HOME");
  const std::optional<std::string_view> home(value);
  if (isAbsolutePath(home)) {
    return chooseHomeDirectory(home, std::nullopt);
  }
  const std::optional<std::string> fromDatabase = passwordDatabaseHome();
  return chooseHomeDirectory(home, fromDatabase ? std::optional<std::string_view>(*fromDatabase)
                                                : std::nullopt);
}

} // namespace quorbel
