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

} // namespace
} // namespace quorbel
