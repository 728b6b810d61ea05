#include "support/command.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace quorbel {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::ScopedTempDir;

TEST(Install, PutsBothProgramsTheirManualPagesAndUserUnitsThatStartTheInstalledPrograms) {
  ScopedTempDir prefix;
  ScopedTempDir scratch;
  const auto install = runCommand(std::string("cmake --install '") + QUORBEL_BUILD_DIR +
                                      "' --prefix '" + prefix.path().string() + "'",
                                  scratch);
  ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;

  EXPECT_TRUE(std::filesystem::exists(prefix / "bin/QuorbelHelper"));
  EXPECT_TRUE(std::filesystem::exists(prefix / "bin/quorbel-status"));
  for (const char *page : {"QuorbelHelper.1.gz", "quorbel-status.1.gz"}) {
    EXPECT_TRUE(std::filesystem::exists(prefix / "share/man/man1" / page)) << page;
  }
  const bool canVerify = runCommand("command -v systemd-analyze", scratch).exitStatus == 0;
  struct Unit {
    const char *name;
    std::string execStart;
  };
  for (const Unit &unit :
       {Unit{"quorbel-helper.service", (prefix / "bin/QuorbelHelper").string()},
        Unit{"quorbel-notify.service", (prefix / "bin/quorbel-status").string() + " --notify"}}) {
    SCOPED_TRACE(unit.name);
    const auto path = prefix / "share/systemd/user" / unit.name;
    ASSERT_TRUE(std::filesystem::exists(path));
    const std::string text = readFile(path);
    EXPECT_NE(text.find("\nExecStart=" + unit.execStart + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nType=exec\n"), std::string::npos);
    EXPECT_NE(text.find("\nNoNewPrivileges=yes\n"), std::string::npos);
    EXPECT_NE(text.find("\nSystemCallFilter=@system-service\n"), std::string::npos);
    if (canVerify) {
      // verify exits 0 on settings it ignores, so anything it says counts as a failure too.
      const auto verify = runCommand("systemd-analyze verify '" + path.string() + "'", scratch);
      EXPECT_EQ(verify.exitStatus, 0) << verify.err;
      EXPECT_EQ(verify.err, "");
    }
  }
  if (!canVerify) {
    GTEST_SKIP() << "systemd-analyze is not installed; the units were not verified";
  }
}

} // namespace
} // namespace quorbel
