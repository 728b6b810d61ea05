#include "tray/details_command.hpp"

#include "support/scoped_environment.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <set>

namespace quorbel {
namespace {

// The user's command first, then the terminals in order of preference, each as it takes a command.
TEST(DetailsCommandTest, PicksTheUsersCommandOrTheFirstTerminalOnPath) {
  using Command = std::optional<std::vector<std::string>>;
  const std::vector<std::string> status = {"/usr/bin/quorbel-status", "--format", "long",
                                           "--watch"};
  struct Case {
    std::optional<std::string> openCommand;
    std::set<std::string> installed;
    Command expected;
  };
  const Case cases[] = {
      {"foot quorbel-status", {"xdg-terminal-exec"}, {{"/bin/sh", "-c", "foot quorbel-status"}}},
      {std::nullopt,
       {"xdg-terminal-exec", "x-terminal-emulator"},
       {{"xdg-terminal-exec", "/usr/bin/quorbel-status", "--format", "long", "--watch"}}},
      {std::nullopt,
       {"x-terminal-emulator"},
       {{"x-terminal-emulator", "-e", "/usr/bin/quorbel-status", "--format", "long", "--watch"}}},
      {std::nullopt, {}, std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.installed));
    EXPECT_EQ(
        detailsCommand(c.openCommand, status,
                       [&c](const std::string &program) { return c.installed.contains(program); }),
        c.expected);
  }

  // A terminal is found as an executable file in any folder of PATH.
  testing::ScopedTempDir folder;
  testing::writeFile(folder / "runs", "#!/bin/sh\n");
  std::filesystem::permissions(folder / "runs", std::filesystem::perms::owner_all);
  testing::writeFile(folder / "plain", "text\n");
  const std::string path = "/nonexistent/first:" + folder.path().string() + ":/nonexistent/last";
  const testing::ScopedEnvironment environment("PATH", path.c_str());
  EXPECT_TRUE(onPath("runs"));
  EXPECT_FALSE(onPath("plain"));
  EXPECT_FALSE(onPath("absent"));
}

} // namespace
} // namespace quorbel
