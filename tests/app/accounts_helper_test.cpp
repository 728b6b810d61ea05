// One helper per account, run as the built program: the name rule, the lock, and two or more
// helpers against one loopback endpoint that tells their tokens apart.
#include "app/child_process.hpp"
#include "model/snapshot_json.hpp"
#include "support/deadline.hpp"
#include "support/loopback_server.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::kTestDeadline;
using testing::readFile;
using testing::writeFile;

const std::string kInactiveLine = "state=sessionInactive published";

class AccountHelpers : public ::testing::Test {
protected:
  std::unique_ptr<ChildProcess> start(std::vector<std::string> arguments,
                                      std::vector<std::string> environment = {},
                                      std::function<bool()> prepare = {}) const {
    fs::create_directories(root_ / "tmp");
    const auto dir = [this](const char *name) { return (root_ / name).string(); };
    environment.insert(environment.end(), {"HOME=" + dir("home"), "XDG_DATA_HOME=" + dir("data"),
                                           "TMPDIR=" + dir("tmp"), "PATH=" + dir("bin")});
    return std::make_unique<ChildProcess>(
        QUORBEL_HELPER_BINARY, environment,
        ChildProcess::Options{.arguments = std::move(arguments), .prepare = std::move(prepare)});
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
  for (const std::string &name :
       std::vector<std::string>{"../x", "a/b", "", ".", "..", "-x", "_x", "a b", "caf\u00e9", "x\n",
                                std::string(65, 'a')}) {
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
    ASSERT_TRUE(first->waitFor(
        [&] { return first->standardOutput().find(kInactiveLine) != std::string::npos; },
        kTestDeadline))
        << first->standardOutput() << first->standardError();
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
    ASSERT_TRUE(third->waitFor(
        [&] { return third->standardOutput().find(kInactiveLine) != std::string::npos; },
        kTestDeadline))
        << third->standardOutput() << third->standardError();
    third->sendSignal(SIGTERM);
    EXPECT_EQ(third->waitForExit(kTestDeadline), 0);
    EXPECT_EQ(third->standardError(), "");
  }
}

std::string usageBody(int session, int week) {
  return R"({"five_hour":{"utilization":)" + std::to_string(session) +
         R"(.0,"resets_at":"2031-01-01T00:00:00+00:00"},"seven_day":{"utilization":)" +
         std::to_string(week) + R"(.0,"resets_at":"2031-01-05T00:00:00+00:00"}})";
}

std::string credentials(const std::string &token) {
  return R"({"claudeAiOauth":{"accessToken":")" + token + R"(","expiresAt":4102444800000}})";
}

// Each account's helper reads its own folder's token, however the folder is named, and keeps its
// own file. The endpoint is reached through a tunnelling proxy on loopback; the helper trusts the
// test's authority because, in a private mount namespace, it stands in for the system's bundle.
TEST_F(AccountHelpers, HelpersForTwoAccountsEachKeepTheirOwnNumbers) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root, to give the helper its own certificate bundle";
  }
  const testing::ScopedTempDir pki;
  const std::string script =
      "cd '" + pki.path().string() +
      "' && n='openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
      "-subj /CN=test' && { $n -keyout ca.key -out ca.pem && $n -CA ca.pem -CAkey ca.key "
      "-addext subjectAltName=DNS:api.anthropic.com -addext basicConstraints=CA:FALSE -keyout "
      "leaf.key -out leaf.pem; } >log 2>&1";
  ASSERT_EQ(std::system(script.c_str()), 0) << readFile(pki / "log");
  const testing::LoopbackServer endpoint(
      {testing::httpReply(401, "{}")},
      {.certificate = pki / "leaf.pem",
       .tunnel = true,
       .answersByHead = {{"Bearer token-personal\r\n", testing::httpReply(200, usageBody(11, 21))},
                         {"Bearer token-work\r\n", testing::httpReply(200, usageBody(52, 62))},
                         {"Bearer token-side\r\n", testing::httpReply(200, usageBody(73, 83))}}});
  const std::string bundle = (pki / "ca.pem").string();
  const auto ownBundle = [&bundle] {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(bundle.c_str(), "/etc/ssl/certs/ca-certificates.crt", nullptr, MS_BIND,
                   nullptr) == 0;
  };
  writeFile(root_ / "cfg-personal/.credentials.json", credentials("token-personal"));
  writeFile(root_ / "elsewhere/.credentials.json", credentials("token-work"));
  writeFile(root_ / "home/.claude-side/.credentials.json", credentials("token-side"));
  // The proxy itself speaks plain HTTP until the tunnel is up.
  const std::string proxy = "https_proxy=http://" + endpoint.url("").substr(sizeof "https://" - 1);
  struct Case {
    std::string account;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    std::int64_t session;
    std::int64_t week;
  };
  const Case cases[] = {
      // The command line wins over an imported CLAUDE_CONFIG_DIR.
      {"personal",
       {"--config-dir", (root_ / "cfg-personal").string()},
       {"CLAUDE_CONFIG_DIR=" + (root_ / "elsewhere").string()},
       11,
       21},
      {"work", {}, {"CLAUDE_CONFIG_DIR=" + (root_ / "elsewhere").string()}, 52, 62},
      {"side", {}, {"CLAUDE_CONFIG_DIR="}, 73, 83},
  };
  std::vector<std::unique_ptr<ChildProcess>> helpers;
  for (const Case &c : cases) {
    std::vector<std::string> arguments = {"--account", c.account};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    std::vector<std::string> environment = c.environment;
    environment.push_back(proxy);
    helpers.push_back(start(arguments, environment, ownBundle));
  }
  for (std::size_t i = 0; i < helpers.size(); ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE(c.account);
    ChildProcess &helper = *helpers[i];
    const fs::path file = folder(c.account) / "plan-snapshot.json";
    ASSERT_TRUE(helper.waitFor(
        [&] {
          // The marker's line, then the first tick's.
          const std::string &out = helper.standardOutput();
          const auto first = out.find("[RefreshCycle] ");
          return (first != std::string::npos &&
                  out.find("[RefreshCycle] ", first + 1) != std::string::npos) ||
                 helper.exited();
        },
        kTestDeadline))
        << helper.standardOutput() << helper.standardError();
    const PlanSnapshot snapshot = decodeSnapshot(readFile(file));
    EXPECT_EQ(snapshot.effectiveStatus(), PlanStatus::active)
        << helper.standardOutput() << helper.standardError();
    ASSERT_TRUE(snapshot.hasData()) << helper.standardOutput() << helper.standardError();
    EXPECT_EQ(snapshot.session->percent, c.session);
    EXPECT_EQ(snapshot.allModels->percent, c.week);
    EXPECT_NE(helper.standardOutput().find("Snapshot path: " + file.string() + "\n"),
              std::string::npos);
  }
  for (auto &helper : helpers) {
    helper->sendSignal(SIGTERM);
    EXPECT_EQ(helper->waitForExit(kTestDeadline), 0);
  }
  EXPECT_FALSE(fs::exists(root_ / "data/QuorbelHelper/plan-snapshot.json"));
}

} // namespace
} // namespace quorbel
