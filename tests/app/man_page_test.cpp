#include "support/command.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace quorbel {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::ScopedTempDir;

// roff writes each hyphen of an option as "\-", so that it prints as a hyphen-minus.
std::string roffEscaped(const std::string &option) {
  std::string escaped;
  for (const char c : option) {
    escaped += c == '-' ? std::string("\\-") : std::string(1, c);
  }
  return escaped;
}

TEST(ManPage, RendersWithoutWarningsAndDocumentsEveryOptionTheProgramAccepts) {
  ScopedTempDir scratch;
  if (runCommand("command -v groff", scratch).exitStatus != 0) {
    GTEST_SKIP()
        << "groff is not installed (package groff-base); the manual pages were not checked";
  }
  struct Case {
    const char *page;
    const char *program;
  };
  const Case cases[] = {{"QuorbelHelper.1", QUORBEL_HELPER_BINARY},
                        {"quorbel-status.1", QUORBEL_STATUS_BINARY}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.page);
    const auto page = std::filesystem::path(QUORBEL_MAN_DIR) / c.page;
    // The default device is what `groff -man` checks; utf8 is what `man` renders in a terminal.
    for (const std::string device : {"ps", "utf8"}) {
      const auto lint = runCommand(
          "timeout 10 groff -ww -z -man -T" + device + " '" + page.string() + "'", scratch);
      EXPECT_EQ(lint.exitStatus, 0) << device;
      EXPECT_EQ(lint.err, "") << device;
    }

    const std::string source = readFile(page);
    const auto help = runCommand(std::string("timeout 10 ") + c.program + " --help", scratch);
    ASSERT_EQ(help.exitStatus, 0);
    const std::regex option("--[a-z-]+");
    int options = 0;
    for (std::sregex_iterator it(help.out.begin(), help.out.end(), option), end; it != end;
         ++it, ++options) {
      EXPECT_NE(source.find(roffEscaped(it->str())), std::string::npos) << it->str();
    }
    EXPECT_GE(options, 2) << help.out;
  }
}

} // namespace
} // namespace quorbel
