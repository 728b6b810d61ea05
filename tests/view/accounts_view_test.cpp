// Several accounts in one output, laid out from each account's single-account output.
#include "model/snapshot_json.hpp"
#include "support/snapshots.hpp"
#include "support/temp_dir.hpp"
#include "view/accounts_view.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const Instant kNow = instantFromUnixSeconds(1'780'000'000);

PlanSnapshot snapshot(std::int64_t session, std::int64_t week, PlanStatus status,
                      std::vector<ModelWindow> models = {}) {
  PlanSnapshot data = testing::usageAt(kNow - 1min, session, week, kNow + 2h, kNow + 50h, status);
  data.modelWindows = std::move(models);
  return data;
}

class AccountsView : public ::testing::Test {
protected:
  fs::path defaultFile() const { return root_ / "QuorbelHelper/plan-snapshot.json"; }
  void write(const std::string &account, const PlanSnapshot &content) const {
    testing::writeFile(account == "default"
                           ? defaultFile()
                           : root_ / "QuorbelHelper/accounts" / account / "plan-snapshot.json",
                       encodeSnapshot(content));
  }
  std::vector<AccountView> views() const {
    return viewAccounts(findAccounts(defaultFile()), kNow, ViewOptions{});
  }

  testing::ScopedTempDir root_;
};

TEST_F(AccountsView, FindsTheDefaultFirstThenEveryAccountFolderByNameAndNothingElse) {
  EXPECT_EQ(findAccounts(defaultFile()), (std::vector<AccountFile>{{"default", defaultFile()}}))
      << "with nothing at all, the default file is the one to report missing";
  const fs::path accounts = root_ / "QuorbelHelper/accounts";
  fs::create_directories(accounts / "work");
  fs::create_directories(accounts / "Alpha");
  fs::create_directories(accounts / ".hidden");
  testing::writeFile(accounts / "file", "not a folder");
  EXPECT_EQ(findAccounts(defaultFile()),
            (std::vector<AccountFile>{{"Alpha", accounts / "Alpha/plan-snapshot.json"},
                                      {"work", accounts / "work/plan-snapshot.json"}}));
  write("default", snapshot(1, 2, PlanStatus::active));
  const auto found = findAccounts(defaultFile());
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found.front(), (AccountFile{"default", defaultFile()}));
  EXPECT_EQ(accountNames(found), "default, Alpha, work");
  EXPECT_EQ(accountNamed(found, defaultFile(), "work")->file, accounts / "work/plan-snapshot.json");
  EXPECT_FALSE(accountNamed(found, defaultFile(), "../work"));
  EXPECT_FALSE(accountNamed(found, defaultFile(), "nobody"));
}

TEST_F(AccountsView, TwoAndThreeAccountsInEveryFormat) {
  write("default", snapshot(41, 14, PlanStatus::active));
  write("work", snapshot(88, 20, PlanStatus::active));
  const struct {
    const char *name;
    std::string text;
    std::int64_t percentage;
    nlohmann::json waybarClass;
  } cases[] = {
      {"two accounts", "default 5h 41% \u00b7 7d 14% | work 5h 88% \u00b7 7d 20%", 88, {"warning"}},
      // Past 60 columns the accounts after the first keep only their fullest window, a model's too.
      {"three accounts and a new one",
       "default 5h 41% \u00b7 7d 14% | new ? | work 5h 88% | zeta Opus 97% (rate limited)",
       97,
       {"rateLimited", "critical"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    if (&c != cases) {
      write("zeta", snapshot(5, 10, PlanStatus::rateLimited, {{"Opus", 97, kNow + 30h}}));
      fs::create_directories(root_ / "QuorbelHelper/accounts/new");
    }
    const std::vector<AccountView> accounts = views();
    EXPECT_EQ(formatAccounts(accounts, OutputFormat::text), c.text);
    // Each section of long is the account's own long output, indented under its name.
    const std::string long_ = formatAccounts(accounts, OutputFormat::longText);
    std::string expectedLong;
    for (const AccountView &account : accounts) {
      const std::string own = account.view ? formatView(*account.view, OutputFormat::longText)
                                           : account.reading.problem;
      expectedLong += (expectedLong.empty() ? "" : "\n\n") + account.name + "\n  " +
                      std::regex_replace(own, std::regex("\n"), "\n  ");
    }
    EXPECT_EQ(long_, expectedLong);

    const auto waybar = nlohmann::json::parse(formatAccounts(accounts, OutputFormat::waybar));
    EXPECT_EQ(waybar["text"], c.text);
    EXPECT_EQ(waybar["tooltip"], long_);
    EXPECT_EQ(waybar["class"], c.waybarClass);
    EXPECT_EQ(waybar["percentage"], c.percentage);

    // A script written for one account still finds the default account's members at the top.
    auto json = nlohmann::json::parse(formatAccounts(accounts, OutputFormat::json));
    ASSERT_EQ(json["accounts"].size(), accounts.size());
    for (std::size_t i = 0; i < accounts.size(); ++i) {
      SCOPED_TRACE(accounts[i].name);
      nlohmann::json entry = json["accounts"][i];
      EXPECT_EQ(entry["account"], accounts[i].name);
      entry.erase("account");
      const nlohmann::json own = accounts[i].view
                                     ? nlohmann::json::parse(formatJson(*accounts[i].view))
                                     : nlohmann::json{{"error", accounts[i].reading.problem}};
      EXPECT_EQ(entry, own);
    }
    json.erase("accounts");
    EXPECT_EQ(json, nlohmann::json::parse(formatJson(*accounts.front().view)));
  }
}

} // namespace
} // namespace quorbel
