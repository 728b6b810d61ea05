#include "model/helper_version.hpp"
#include "support/command.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using testing::runCommand;
using testing::ScopedTempDir;

TEST(CommandLine, VersionHelpAndBadArgumentsAnswerWithoutStartingAnything) {
  const std::string version(kHelperVersion);
  const std::string helper = QUORBEL_HELPER_BINARY;
  const std::string status = QUORBEL_STATUS_BINARY;
  struct Case {
    std::string commandLine;
    int exitStatus;
    std::string out; // exactly, or its start when `outPrefix`
    bool outPrefix;
    std::string errStart; // empty: nothing on standard error
  };
  const Case cases[] = {
      {helper + " --version", 0, "QuorbelHelper " + version + "\n", false, ""},
      {helper + " --help", 0, "Usage: QuorbelHelper [--help | --version]\n", true, ""},
      {helper + " --verbose", 2, "", false,
       "QuorbelHelper: bad argument '--verbose'\nUsage: QuorbelHelper"},
      {helper + " --version now", 2, "", false,
       "QuorbelHelper: bad argument 'now'\nUsage: QuorbelHelper"},
      {status + " --version", 0, "quorbel-status " + version + "\n", false, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.commandLine);
    ScopedTempDir home;
    ScopedTempDir scratch;
    // The self-check variable is set so that a start slipping through would show, yet end by
    // itself; `timeout` bounds a live start all the same.
    const auto result =
        runCommand("env -i HOME='" + home.path().string() + "' XDG_DATA_HOME='" +
                       (home / "data").string() + "' TMPDIR='" + home.path().string() +
                       "' QUORBEL_HELPER_DRYTEST=1 timeout 10 " + c.commandLine,
                   scratch);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    if (c.outPrefix) {
      EXPECT_TRUE(result.out.starts_with(c.out)) << result.out;
    } else {
      EXPECT_EQ(result.out, c.out);
    }
    EXPECT_TRUE(c.errStart.empty() ? result.err.empty() : result.err.starts_with(c.errStart))
        << result.err;
    EXPECT_TRUE(std::filesystem::is_empty(home.path()));
  }
}

} // namespace
} // namespace quorbel
