#include "store/account_location.hpp"

namespace quorbel {
namespace {

bool isAsciiAlphanumeric(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

} // namespace

bool isValidAccountName(std::string_view name) {
  if (name.empty() || name.size() > kMaxAccountNameLength || !isAsciiAlphanumeric(name.front())) {
    return false;
  }
  for (const char c : name) {
    if (!isAsciiAlphanumeric(c) && c != '.' && c != '_' && c != '-') {
      return false;
    }
  }
  return true;
}

std::filesystem::path accountsDirectory(const std::filesystem::path &defaultSnapshotFile) {
  return defaultSnapshotFile.parent_path() / kAccountsDirectoryName;
}

std::filesystem::path accountSnapshotFile(const std::filesystem::path &defaultSnapshotFile,
                                          std::string_view name) {
  return accountsDirectory(defaultSnapshotFile) / name / kSnapshotFileName;
}

std::filesystem::path snapshotLockFile(const std::filesystem::path &snapshotFile) {
  return snapshotFile.parent_path() / kLockFileName;
}

std::optional<std::filesystem::path>
accountConfigDirectory(std::string_view name, const std::optional<std::string> &commandLine,
                       const std::optional<std::string> &claudeConfigDir,
                       const std::optional<std::filesystem::path> &home) {
  if (commandLine && !commandLine->empty()) {
    return std::filesystem::path(*commandLine);
  }
  if (claudeConfigDir && !claudeConfigDir->empty()) {
    return std::filesystem::path(*claudeConfigDir);
  }
  if (!home) {
    return std::nullopt;
  }
  return *home / (".claude-" + std::string(name));
}

} // namespace quorbel
