// One helper per account, run as the built program: the name rule, the lock, and which
// credentials each account's helper reads.
#include "app/child_process.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <csignal>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using testing::kTestDeadline;
using testing::readFile;

const std::string kInactiveLine = "state=sessionInactive published";

class AccountHelpers : public ::testing::Test {
protected:
  std::unique_ptr<testing::ChildProcess> start(std::vector<std::string> arguments,
                                               std::vector<std::string> environment = {}) const {
    return testing::startHelper(root_.path(), std::move(environment),
                                {.arguments = std::move(arguments)});
  }
  fs::path folder(const std::string &account) const {
    return account.empty() ? root_ / "data/QuorbelHelper"
                           : root_ / "data/QuorbelHelper/accounts" / account;
  }
  static std::vector<std::string> accountArguments(const std::string &account) {
    return account.empty() ? std::vector<std::string>{}
                           : std::vector<std::string>{"--account", account};
  }

  testing::ScopedTempDir root_;
};

TEST_F(AccountHelpers, ANameOutsideTheRuleExitsTwoWithTheRuleAndWritesNothing) {
  const std::string rule = "an account name is 1 to 64 letters, digits, '.', '_' or '-', "
                           "starting with a letter or a digit\n";
  // The rule itself is the account location's; here, that the helper keeps to it.
  for (const std::string name : {"../x", "", "x\n"}) {
    SCOPED_TRACE(name);
    auto child = start({"--account", name, "--config-dir", (root_ / "cfg").string()});
    EXPECT_EQ(child->waitForExit(kTestDeadline), 2);
    EXPECT_EQ(child->standardError(), "QuorbelHelper: bad account name '" + name + "': " + rule);
    EXPECT_EQ(child->standardOutput(), "");
  }
  EXPECT_FALSE(fs::exists(root_ / "data"));
}

TEST_F(AccountHelpers, ASecondHelperForOneAccountLeavesAtOnceUntilTheFirstIsKilled) {
  for (const std::string account : {"", "work"}) {
    SCOPED_TRACE(account.empty() ? "default" : account);
    const fs::path snapshot = folder(account) / "plan-snapshot.json";
    auto first = start(accountArguments(account));
    ASSERT_TRUE(first->waitForOutput(kInactiveLine)) << first->standardError();
    const std::string written = readFile(snapshot);
    const auto entries = [&] {
      std::vector<fs::path> names;
      for (const auto &entry : fs::directory_iterator(folder(account))) {
        names.push_back(entry.path().filename());
      }
      std::sort(names.begin(), names.end());
      return names;
    };
    const auto before = entries();

    auto second = start(accountArguments(account));
    EXPECT_EQ(second->waitForExit(kTestDeadline), 1);
    EXPECT_EQ(second->standardError(), "QuorbelHelper: another helper (pid " +
                                           std::to_string(first->pid()) + ") already keeps " +
                                           snapshot.string() + "\n");
    EXPECT_EQ(second->standardOutput(), "");
    EXPECT_EQ(readFile(snapshot), written);
    EXPECT_EQ(entries(), before);

    const auto lock = fs::status(folder(account) / ".plan-snapshot.lock");
    EXPECT_EQ(lock.permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(folder(account)).permissions(), fs::perms::owner_all);

    // No clean-up runs on SIGKILL: only the kernel can have released the lock.
    first->sendSignal(SIGKILL);
    first->waitForExit(kTestDeadline);
    auto third = start(accountArguments(account));
    ASSERT_TRUE(third->waitForOutput(kInactiveLine)) << third->standardError();
    third->sendSignal(SIGTERM);
    EXPECT_EQ(third->waitForExit(kTestDeadline), 0);
    EXPECT_EQ(third->standardError(), "");
  }
}

// However its folder is named, an account's helper reads the credentials there: the command line
// wins over an imported CLAUDE_CONFIG_DIR, which wins over the home's .claude-NAME. A file there
// that cannot be read is told with its path.
TEST_F(AccountHelpers, EachAccountReadsTheCredentialsOfItsOwnConfigFolder) {
  const std::string imported = "CLAUDE_CONFIG_DIR=" + (root_ / "imported").string();
  const struct {
    std::string account;
    std::vector<std::string> arguments;
    std::string environment;
    fs::path folder;
  } cases[] = {
      {"personal", {"--config-dir", (root_ / "given").string()}, imported, root_ / "given"},
      {"work", {}, imported, root_ / "imported"},
      {"side", {}, "CLAUDE_CONFIG_DIR=", root_ / "home/.claude-side"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.account);
    testing::writeFile(c.folder / ".credentials.json", "{");
    std::vector<std::string> arguments{"--account", c.account};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    auto helper = start(arguments, {c.environment});
    ASSERT_TRUE(helper->waitForOutput(kInactiveLine)) << helper->standardError();
    helper->sendSignal(SIGTERM);
    EXPECT_EQ(helper->waitForExit(kTestDeadline), 0);
    EXPECT_EQ(helper->standardError(), "QuorbelHelper: credentials file " +
                                           (c.folder / ".credentials.json").string() +
                                           ": not JSON\n");
    EXPECT_TRUE(fs::exists(folder(c.account) / "plan-snapshot.json"));
  }
  EXPECT_FALSE(fs::exists(folder("") / "plan-snapshot.json"));
}

} // namespace
} // namespace quorbel
