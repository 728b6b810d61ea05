#include "support/command.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace quorbel {
namespace {

// What a user finds under the prefix: units, manual pages and programs that answer before
// starting anything.
TEST(Install, PutsUnitsManualPagesAndProgramsThatWorkUnderThePrefix) {
  testing::ScopedTempDir prefix;
  testing::ScopedTempDir scratch;
  const auto run = [&](const std::string &command) {
    return testing::runCommand(command, scratch);
  };
  const auto install = run(std::string("cmake --install '") + QUORBEL_BUILD_DIR + "' --prefix '" +
                           prefix.path().string() + "'");
  ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;
  const auto bin = [&](const std::string &program) { return (prefix / "bin" / program).string(); };
  for (const auto &[unit, execStart] :
       {std::pair<std::string, std::string>{"quorbel-helper", bin("QuorbelHelper")},
        {"quorbel-helper@", bin("QuorbelHelper") + " --account %i"},
        {"quorbel-notify", bin("quorbel-status") + " --notify"},
        {"quorbel-metrics", bin("quorbel-status") +
                                " --watch --format prometheus --output ${QUORBEL_METRICS_FILE}"}}) {
    SCOPED_TRACE(unit);
    std::string path = (prefix / "share/systemd/user" / (unit + ".service")).string();
    const std::string text = testing::readFile(path);
    for (const std::string &line :
         {"ExecStart=" + execStart, std::string("Type=exec"), std::string("NoNewPrivileges=yes"),
          std::string("SystemCallFilter=@system-service")}) {
      EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line;
    }
    if (unit.ends_with("@")) {
      // Each instance reads its own folder, whatever the manager imported.
      EXPECT_NE(text.find("\nEnvironment=CLAUDE_CONFIG_DIR=%h/.claude-%i\n"), std::string::npos);
      path += ":quorbel-helper@work.service"; // verified as an instance
    }
    // verify exits 0 on settings it ignores, so anything it says counts as a failure too.
    const auto verify = run("systemd-analyze verify '" + path + "'");
    EXPECT_EQ(verify.exitStatus, 0) << verify.err;
    EXPECT_EQ(verify.err, "");
  }

  const auto rules = run("promtool check rules '" +
                         (prefix / "share/quorbel-helper/quorbel-alerts.yml").string() + "'");
  EXPECT_EQ(rules.exitStatus, 0) << rules.out << rules.err;

  const std::regex option("--[a-z-]+");
  for (const std::string program : {"QuorbelHelper", "quorbel-status", "quorbel-tray"}) {
    SCOPED_TRACE(program);
    const std::string page =
        "gzip -dc '" + (prefix / "share/man/man1" / program).string() + ".1.gz'";
    // The default device is what `groff -man` checks; utf8 is what `man` renders in a terminal.
    for (const std::string device : {"ps", "utf8"}) {
      const auto lint = run(page + " | groff -ww -z -man -T" + device);
      EXPECT_EQ(lint.exitStatus, 0) << device;
      EXPECT_EQ(lint.err, "") << device;
    }
    // A hyphenated line end would split an option or a path where a reader copies it.
    const std::string rendered = run(page + " | groff -man -Tutf8 -rLL=80n").out;
    EXPECT_EQ(rendered.find("\u2010\n"), std::string::npos) << rendered;
    // roff writes each hyphen of an option as "\-".
    const std::string source = run(page).out;
    const std::string help = run("timeout 5 " + bin(program) + " --help").out;
    int options = 0;
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end;
         ++it, ++options) {
      EXPECT_NE(source.find(std::regex_replace(it->str(), std::regex("-"), "\\-")),
                std::string::npos)
          << it->str();
    }
    EXPECT_GE(options, 2) << help;
  }

  // With the self-check variable set, a start slipping through shows and ends by itself.
  const std::string helper = "env -i QUORBEL_HELPER_DRYTEST=1 TMPDIR='" + scratch.path().string() +
                             "' timeout 5 " + bin("QuorbelHelper");
  const std::tuple<std::string, int, std::string, std::string> cases[] = {
      {" --help", 0,
       "Usage: QuorbelHelper [--account NAME [--config-dir DIR]] [--no-service-status]\n", ""},
      {" --account", 2, "", "QuorbelHelper: --account needs a value\nUsage: QuorbelHelper"},
      {" --config-dir /c", 2, "", "QuorbelHelper: --config-dir goes with --account\nUsage:"},
      {" --verbose", 2, "", "QuorbelHelper: bad argument '--verbose'\nUsage: QuorbelHelper"},
      {" --version now", 2, "", "QuorbelHelper: bad argument 'now'\nUsage: QuorbelHelper"}};
  for (const auto &[arguments, exitStatus, outStart, errStart] : cases) {
    SCOPED_TRACE(arguments);
    const auto result = run(helper + arguments);
    EXPECT_EQ(result.exitStatus, exitStatus);
    EXPECT_TRUE(result.out.starts_with(outStart) && result.out.empty() == outStart.empty())
        << result.out;
    EXPECT_TRUE(result.err.starts_with(errStart) && result.err.empty() == errStart.empty())
        << result.err;
  }
}

} // namespace
} // namespace quorbel
