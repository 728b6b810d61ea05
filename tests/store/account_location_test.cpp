#include "store/account_location.hpp"

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

TEST(AccountLocation, TheConfigFolderComesFromTheCommandLineThenTheEnvironmentThenTheHome) {
  using Path = std::optional<std::filesystem::path>;
  struct Case {
    std::optional<std::string> commandLine;
    std::optional<std::string> environment;
    Path home;
    Path expected;
  };
  const Case cases[] = {{"/given", "/env", "/h", "/given"},
                        {std::nullopt, "/env", "/h", "/env"},
                        {std::nullopt, "", "/h", "/h/.claude-work"},
                        {std::nullopt, std::nullopt, "/h", "/h/.claude-work"},
                        {std::nullopt, std::nullopt, std::nullopt, std::nullopt}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.commandLine.value_or("-") + " " + c.environment.value_or("-"));
    EXPECT_EQ(accountConfigDirectory("work", c.commandLine, c.environment, c.home), c.expected);
  }
}

} // namespace
} // namespace quorbel
