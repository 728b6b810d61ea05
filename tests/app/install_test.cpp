#include "support/command.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace quorbel {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::ScopedTempDir;

TEST(Install, PutsBothProgramsAndAUserUnitThatStartsTheInstalledHelper) {
  ScopedTempDir prefix;
  ScopedTempDir scratch;
  const auto install = runCommand(std::string("cmake --install '") + QUORBEL_BUILD_DIR +
                                      "' --prefix '" + prefix.path().string() + "'",
                                  scratch);
  ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;

  const auto helper = prefix / "bin/QuorbelHelper";
  EXPECT_TRUE(std::filesystem::exists(helper));
  EXPECT_TRUE(std::filesystem::exists(prefix / "bin/quorbel-status"));
  const auto unit = prefix / "share/systemd/user/quorbel-helper.service";
  ASSERT_TRUE(std::filesystem::exists(unit));
  const std::string text = readFile(unit);
  EXPECT_NE(text.find("\nExecStart=" + helper.string() + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nType=exec\n"), std::string::npos);
  EXPECT_NE(text.find("\nNoNewPrivileges=yes\n"), std::string::npos);
  // Where Claude Code's installer puts `claude`, ahead of what the user manager would give.
  EXPECT_NE(text.find("\nEnvironment=PATH=%h/.local/bin:/usr/local/sbin:"), std::string::npos);

  if (runCommand("command -v systemd-analyze", scratch).exitStatus != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed; the unit was not verified";
  }
  // verify exits 0 on settings it ignores, so anything it says counts as a failure too.
  const auto verify = runCommand("systemd-analyze verify '" + unit.string() + "'", scratch);
  EXPECT_EQ(verify.exitStatus, 0) << verify.err;
  EXPECT_EQ(verify.err, "");
}

} // namespace
} // namespace quorbel
