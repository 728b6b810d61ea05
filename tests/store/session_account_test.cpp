#include "store/config_folder_record.hpp"
#include "store/session_account.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;

TEST(SessionAccount, PicksTheAccountWhoseHelperReadsTheSessionsFolder) {
  const testing::ScopedTempDir temp;
  const fs::path home = temp / "home";
  const fs::path data = temp / "data";
  const std::vector<AccountFile> accounts = {{"default", data / "plan-snapshot.json"},
                                             {"work", data / "accounts/work/plan-snapshot.json"},
                                             {"ops", data / "accounts/ops/plan-snapshot.json"},
                                             {"lab", data / "accounts/lab/plan-snapshot.json"}};
  fs::create_directories(home / ".claude-work");
  fs::create_directories(temp / "elsewhere");
  fs::create_symlink(home / ".claude-work", temp / "link");
  for (const AccountFile &account : accounts) {
    fs::create_directories(account.file.parent_path());
  }
  // ops is given a folder with --config-dir; lab's helper reads a folder that only looks like
  // another account's.
  recordConfigFolder(accounts[2].file, temp / "elsewhere");
  recordConfigFolder(accounts[3].file, home / ".claude-x");
  struct Case {
    fs::path folder;
    const char *account; // nullptr: none
  } cases[] = {
      {home / ".claude", "default"},
      {home / ".claude/", "default"},
      {home / ".claude-work", "work"},
      {temp / "link", "work"}, // the same folder by another name
      {temp / "elsewhere/.", "ops"},
      {home / ".claude-x", "lab"},
      {home / ".claude-ops", nullptr}, // ops records where it really reads
      {home / ".claude-nobody", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.folder);
    const auto found = accountReading(accounts, c.folder, home);
    EXPECT_EQ(found ? found->name : "none", c.account ? c.account : "none");
  }
  EXPECT_EQ(sessionConfigFolder(std::nullopt, home), home / ".claude");
  EXPECT_EQ(sessionConfigFolder("", home), home / ".claude");
  EXPECT_EQ(sessionConfigFolder("/cc", home), fs::path("/cc"));
}

} // namespace
} // namespace quorbel
