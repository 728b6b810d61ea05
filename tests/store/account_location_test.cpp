#include "store/account_location.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

TEST(AccountLocation, OnlyNamesThatStayOneFolderDeepPassTheRule) {
  using Names = std::initializer_list<std::string>;
  for (const std::string &name : Names{"work", "9", "Work.2_b-c", std::string(64, 'x')}) {
    EXPECT_TRUE(isValidAccountName(name)) << name;
  }
  for (const std::string &name :
       Names{std::string(65, 'x'), "", ".", "..", ".work", "-work", "_work", "a/b", "../x", "a b",
             "w\u00f6rk", std::string("a\0b", 3)}) {
    EXPECT_FALSE(isValidAccountName(name)) << name;
  }
}

TEST(AccountLocation, FindsTheDefaultFirstThenEveryAccountFolderByNameAndNothingElse) {
  namespace fs = std::filesystem;
  const testing::ScopedTempDir root;
  const fs::path defaultFile = root / "QuorbelHelper/plan-snapshot.json";
  EXPECT_EQ(findAccounts(defaultFile), (std::vector<AccountFile>{{"default", defaultFile}}))
      << "with nothing at all, the default file is the one to report missing";
  const fs::path accounts = root / "QuorbelHelper/accounts";
  for (const char *folder : {"work", "Alpha", ".hidden", "default"}) {
    fs::create_directories(accounts / folder);
  }
  testing::writeFile(accounts / "file", "not a folder");
  EXPECT_EQ(findAccounts(defaultFile),
            (std::vector<AccountFile>{{"Alpha", accounts / "Alpha/plan-snapshot.json"},
                                      {"work", accounts / "work/plan-snapshot.json"}}));
  testing::writeFile(defaultFile, "{}");
  const auto found = findAccounts(defaultFile);
  EXPECT_EQ(accountNames(found), "default, Alpha, work");
  EXPECT_EQ(found.front(), (AccountFile{"default", defaultFile}));
  EXPECT_EQ(accountNamed(found, defaultFile, "work")->file, accounts / "work/plan-snapshot.json");
  EXPECT_FALSE(accountNamed(found, defaultFile, "../work"));
  EXPECT_FALSE(accountNamed(found, defaultFile, "nobody"));
  // Every file an account keeps follows its snapshot's rule, the notifier's state too.
  const fs::path state = root / "state/QuorbelHelper/notify-state.json";
  EXPECT_EQ(accountFile(state, "default"), state);
  EXPECT_EQ(accountFile(state, "work"),
            root / "state/QuorbelHelper/accounts/work/notify-state.json");
}

} // namespace
} // namespace quorbel
