#include "store/account_location.hpp"

#include <algorithm>

namespace quorbel {
namespace {

namespace fs = std::filesystem;

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

std::filesystem::path accountFile(const std::filesystem::path &defaultFile, std::string_view name) {
  if (name == kDefaultAccountName) {
    return defaultFile;
  }
  return accountsDirectory(defaultFile) / name / defaultFile.filename();
}

std::vector<AccountFile> findAccounts(const fs::path &defaultFile) {
  std::vector<AccountFile> others;
  std::error_code error;
  for (fs::directory_iterator entry(accountsDirectory(defaultFile), error), end;
       !error && entry != end; entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    std::error_code typeError;
    if (isValidAccountName(name) && name != kDefaultAccountName && entry->is_directory(typeError)) {
      others.push_back({name, accountFile(defaultFile, name)});
    }
  }
  std::sort(others.begin(), others.end(),
            [](const AccountFile &a, const AccountFile &b) { return a.name < b.name; });
  std::vector<AccountFile> accounts;
  if (others.empty() || fs::exists(defaultFile, error)) {
    accounts.push_back({std::string(kDefaultAccountName), defaultFile});
  }
  accounts.insert(accounts.end(), others.begin(), others.end());
  return accounts;
}

std::optional<AccountFile> accountNamed(const std::vector<AccountFile> &accounts,
                                        const fs::path &defaultFile, std::string_view name) {
  if (name == kDefaultAccountName) {
    return AccountFile{std::string(kDefaultAccountName), defaultFile};
  }
  const auto found =
      std::find_if(accounts.begin(), accounts.end(),
                   [name](const AccountFile &account) { return account.name == name; });
  return found == accounts.end() ? std::nullopt : std::optional<AccountFile>(*found);
}

std::string accountNames(const std::vector<AccountFile> &accounts) {
  std::string names;
  for (const AccountFile &account : accounts) {
    names += (names.empty() ? "" : ", ") + account.name;
  }
  return names;
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
