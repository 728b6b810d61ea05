#include "model/helper_version.hpp"
#include "support/command.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace quorbel {
namespace {

using testing::runCommand;

// One install serves every check of what a user finds under the prefix.
class Install : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    prefix_ = std::make_unique<testing::ScopedTempDir>();
    const auto install = runCommand(std::string("cmake --install '") + QUORBEL_BUILD_DIR +
                                        "' --prefix '" + prefix_->path().string() + "'",
                                    *prefix_);
    ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;
  }
  static void TearDownTestSuite() { prefix_.reset(); }
  static std::string bin(const std::string &program) {
    return (*prefix_ / "bin" / program).string();
  }

  static inline std::unique_ptr<testing::ScopedTempDir> prefix_;
  testing::ScopedTempDir scratch_;
};

TEST_F(Install, UserUnitsStartTheInstalledProgramsHardenedAndVerify) {
  const bool canVerify = runCommand("command -v systemd-analyze", scratch_).exitStatus == 0;
  const std::pair<const char *, std::string> units[] = {
      {"quorbel-helper.service", bin("QuorbelHelper")},
      {"quorbel-notify.service", bin("quorbel-status") + " --notify"}};
  for (const auto &[name, execStart] : units) {
    SCOPED_TRACE(name);
    const auto path = *prefix_ / "share/systemd/user" / name;
    const std::string text = testing::readFile(path);
    EXPECT_NE(text.find("\nExecStart=" + execStart + "\n"), std::string::npos) << text;
    for (const char *line :
         {"Type=exec", "NoNewPrivileges=yes", "SystemCallFilter=@system-service"}) {
      EXPECT_NE(text.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    }
    if (canVerify) {
      // verify exits 0 on settings it ignores, so anything it says counts as a failure too.
      const auto verify = runCommand("systemd-analyze verify '" + path.string() + "'", scratch_);
      EXPECT_EQ(verify.exitStatus, 0) << verify.err;
      EXPECT_EQ(verify.err, "");
    }
  }
  if (!canVerify) {
    GTEST_SKIP() << "systemd-analyze is not installed; the units were not verified";
  }
}

// roff writes each hyphen of an option as "\-", so that it prints as a hyphen-minus.
TEST_F(Install, ManualPagesRenderCleanAndDocumentEveryOptionOfHelp) {
  if (runCommand("command -v groff", scratch_).exitStatus != 0) {
    GTEST_SKIP() << "groff is not installed (package groff-base)";
  }
  for (const std::string program : {"QuorbelHelper", "quorbel-status"}) {
    SCOPED_TRACE(program);
    const std::string page = (*prefix_ / "share/man/man1" / (program + ".1.gz")).string();
    // The default device is what `groff -man` checks; utf8 is what `man` renders in a terminal.
    for (const std::string device : {"ps", "utf8"}) {
      const auto lint =
          runCommand("gzip -dc '" + page + "' | groff -ww -z -man -T" + device, scratch_);
      EXPECT_EQ(lint.exitStatus, 0) << device;
      EXPECT_EQ(lint.err, "") << device;
    }
    const std::string source = runCommand("gzip -dc '" + page + "'", scratch_).out;
    const std::string help = runCommand("timeout 5 " + bin(program) + " --help", scratch_).out;
    const std::regex option("--[a-z-]+");
    int options = 0;
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end;
         ++it, ++options) {
      EXPECT_NE(source.find(std::regex_replace(it->str(), std::regex("-"), "\\-")),
                std::string::npos)
          << it->str();
    }
    EXPECT_GE(options, 2) << help;
  }
}

TEST_F(Install, ProgramsAnswerVersionHelpAndBadArgumentsWithoutStartingAnything) {
  const std::string version(kHelperVersion);
  const std::string helper = bin("QuorbelHelper");
  struct Case {
    std::string commandLine;
    int exitStatus;
    std::string out;      // all of it, or its start for --help
    std::string errStart; // empty: nothing on standard error
  };
  const Case cases[] = {
      {helper + " --version", 0, "QuorbelHelper " + version + "\n", ""},
      {helper + " --help", 0, "Usage: QuorbelHelper [--help | --version]\n", ""},
      {helper + " --verbose", 2, "",
       "QuorbelHelper: bad argument '--verbose'\nUsage: QuorbelHelper"},
      {helper + " --version now", 2, "", "QuorbelHelper: bad argument 'now'\nUsage: QuorbelHelper"},
      {bin("quorbel-status") + " --version", 0, "quorbel-status " + version + "\n", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.commandLine);
    // With the self-check variable set, a start slipping through shows and ends by itself.
    const auto result = runCommand("env -i HOME='" + scratch_.path().string() + "' TMPDIR='" +
                                       scratch_.path().string() +
                                       "' QUORBEL_HELPER_DRYTEST=1 timeout 5 " + c.commandLine,
                                   scratch_);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(c.commandLine.ends_with("--help") ? result.out.substr(0, c.out.size()) : result.out,
              c.out);
    EXPECT_TRUE(c.errStart.empty() ? result.err.empty() : result.err.starts_with(c.errStart))
        << result.err;
  }
}

} // namespace
} // namespace quorbel
