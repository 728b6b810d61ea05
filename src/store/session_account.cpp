#include "store/session_account.hpp"

#include "store/account_location.hpp"
#include "store/config_folder_record.hpp"

namespace quorbel {

namespace fs = std::filesystem;

std::optional<fs::path> sessionConfigFolder(const std::optional<std::string> &claudeConfigDir,
                                            const std::optional<fs::path> &home) {
  if (claudeConfigDir && !claudeConfigDir->empty()) {
    return fs::path(*claudeConfigDir);
  }
  if (!home) {
    return std::nullopt;
  }
  return *home / ".claude";
}

std::optional<AccountFile> accountReading(const std::vector<AccountFile> &accounts,
                                          const fs::path &folder,
                                          const std::optional<fs::path> &home) {
  // A recorded folder is what the helper really reads; it wins over a name that only looks right,
  // and an account that records another folder is not this session's whatever its name.
  std::vector<const AccountFile *> unrecorded;
  for (const AccountFile &account : accounts) {
    const std::optional<fs::path> recorded = recordedConfigFolder(account.file);
    if (!recorded) {
      unrecorded.push_back(&account);
    } else if (sameFolder(*recorded, folder)) {
      return account;
    }
  }
  if (!home) {
    return std::nullopt;
  }
  for (const AccountFile *account : unrecorded) {
    const bool isDefault = account->name == kDefaultAccountName;
    const fs::path documented =
        *home / (isDefault ? std::string(".claude") : ".claude-" + account->name);
    if (sameFolder(documented, folder)) {
      return *account;
    }
  }
  return std::nullopt;
}

} // namespace quorbel
