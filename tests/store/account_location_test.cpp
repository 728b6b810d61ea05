#include "store/account_location.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

TEST(AccountLocation, OnlyNamesThatStayOneFolderDeepPassTheRule) {
  const std::pair<std::string, bool> cases[] = {
      {"work", true},
      {"9", true},
      {"Work.2_b-c", true},
      {std::string(64, 'x'), true},
      {std::string(65, 'x'), false},
      {"", false},
      {".", false},
      {"..", false},
      {".work", false},
      {"-work", false},
      {"_work", false},
      {"a/b", false},
      {"../x", false},
      {"a b", false},
      {"w\u00f6rk", false},
      {std::string("a\0b", 3), false},
  };
  for (const auto &[name, valid] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(isValidAccountName(name), valid);
  }
}

TEST(AccountLocation, TheAccountsFolderSitsBesideTheDefaultFileAndEachLockBesideItsFile) {
  const std::filesystem::path defaultFile = "/d/QuorbelHelper/plan-snapshot.json";
  EXPECT_EQ(accountSnapshotFile(defaultFile, "work"),
            "/d/QuorbelHelper/accounts/work/plan-snapshot.json");
  EXPECT_EQ(snapshotLockFile(defaultFile), "/d/QuorbelHelper/.plan-snapshot.lock");
  EXPECT_EQ(snapshotLockFile(accountSnapshotFile(defaultFile, "work")),
            "/d/QuorbelHelper/accounts/work/.plan-snapshot.lock");
}

TEST(AccountLocation, TheConfigFolderComesFromTheCommandLineThenTheEnvironmentThenTheHome) {
  using Path = std::optional<std::filesystem::path>;
  struct Case {
    std::optional<std::string> commandLine;
    std::optional<std::string> environment;
    Path home;
    Path expected;
  };
  const Case cases[] = {
      {"/given", "/env", "/h", "/given"},
      {std::nullopt, "/env", "/h", "/env"},
      {std::nullopt, "", "/h", "/h/.claude-work"},
      {std::nullopt, std::nullopt, "/h", "/h/.claude-work"},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.commandLine.value_or("-") + " " + c.environment.value_or("-"));
    EXPECT_EQ(accountConfigDirectory("work", c.commandLine, c.environment, c.home), c.expected);
  }
}

} // namespace
} // namespace quorbel
