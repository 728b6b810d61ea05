// Several accounts in one output, laid out from each account's single-account output.
#include "model/display_text.hpp"
#include "model/service_status.hpp"
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

const Instant kNow = instantFromUnixSeconds(1'780'000'000);

PlanSnapshot snapshot(std::int64_t session, std::int64_t week, PlanStatus status,
                      std::vector<ModelWindow> models = {},
                      std::optional<InactiveReason> reason = std::nullopt,
                      std::optional<ExtraUsage> money = std::nullopt) {
  PlanSnapshot data = testing::usageAt(kNow - 1min, session, week, kNow + 2h, kNow + 50h, status);
  data.modelWindows = std::move(models);
  data.inactiveReason = reason;
  data.extraUsage = money;
  return data;
}

// Each format is laid out from each account's own, and the one line stays within its bound
// whatever the states: model names are cut first, then windows go and the status marks shorten,
// while what is being paid for, the figure --show asks for and the plan window on a tie stay.
// waybar's class carries every account's status and reads plain text escaped once for Pango.
TEST(AccountsView, SeveralAccountsInEveryFormat) {
  const ModelWindow opus{"claude-opus-4-1", 100, kNow + 30h};
  const std::optional<PlanSnapshot> none;
  const struct {
    const char *name;
    std::vector<std::pair<std::string, std::optional<PlanSnapshot>>> accounts; // none: a folder
    std::string text;
    nlohmann::json waybarClass;
    std::int64_t percentage; // the fullest account's
    PercentShown shown = PercentShown::used;
  } cases[] = {
      {"four accounts, one without a file yet",
       {{"default", snapshot(41, 14, PlanStatus::active)},
        {"new", none},
        {"work", snapshot(88, 20, PlanStatus::active)},
        {"zeta", snapshot(5, 10, PlanStatus::rateLimited, {{"Opus", 97, kNow + 30h}})}},
       "default 5h 41% | new ? | work 5h 88% | zeta Opus 97% (limited)",
       {"unavailable", "rateLimited", "critical"},
       97},
      {"an expired token beside a limit and a long model name",
       {{"default", snapshot(22, 15, PlanStatus::sessionInactive, {}, InactiveReason::expired)},
        {"work", snapshot(30, 40, PlanStatus::rateLimited, {opus})}},
       "default 5h 22% (expired) | work claude-\u2026 100% (limited)",
       {"sessionInactive", "expired", "rateLimited", "critical"},
       100},
      {"money being paid outlasts the windows",
       {{"default", snapshot(84, 15, PlanStatus::active)},
        {"work", snapshot(100, 20, PlanStatus::active, {{"Opus", 90, kNow + 30h}}, std::nullopt,
                          ExtraUsage{"USD", 2, 120, std::nullopt})}},
       "default 5h 84% \u00b7 7d 15% | work 5h 100% \u00b7 $1.20",
       {"critical", "extraUsage"},
       100},
      {"what is left",
       {{"default", snapshot(41, 14, PlanStatus::active)},
        {"work", snapshot(88, 20, PlanStatus::rateLimited, {{"Opus", 97, kNow + 30h}})}},
       "default 5h 59% left | work Opus 3% left (limited)",
       {"rateLimited", "critical"},
       97,
       PercentShown::remaining},
      {"a model name that is markup",
       {{"default", snapshot(41, 14, PlanStatus::active)},
        {"work", snapshot(5, 10, PlanStatus::active, {{"R&D <beta>", 90, kNow + 30h}})}},
       "default 5h 41% \u00b7 7d 14% | work 5h 5% \u00b7 7d 10% \u00b7 R&D <be\u2026 90%",
       {"warning"},
       90},
      {"a tie names the plan window",
       {{"default", snapshot(41, 14, PlanStatus::active)},
        {"work", snapshot(90, 10, PlanStatus::rateLimited, {{"Opus", 90, kNow + 30h}})}},
       "default 5h 41% \u00b7 7d 14% | work 5h 90% (limited)",
       {"rateLimited", "warning"},
       90},
      {"a sign-out beside a fuller account",
       {{"default", snapshot(30, 10, PlanStatus::sessionInactive, {}, InactiveReason::missing)},
        {"work", snapshot(90, 20, PlanStatus::active)}},
       "default 5h 30% \u00b7 7d 10% (signed out) | work 5h 90% \u00b7 7d 20%",
       {"sessionInactive", "warning"},
       90},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const testing::ScopedTempDir root;
    const std::filesystem::path defaultFile = root / "plan-snapshot.json";
    for (const auto &[name, content] : c.accounts) {
      std::filesystem::create_directories(accountFile(defaultFile, name).parent_path());
      if (content) {
        testing::writeFile(accountFile(defaultFile, name), encodeSnapshot(*content));
      }
    }
    const std::vector<AccountView> accounts =
        viewAccounts(findAccounts(defaultFile), kNow, ViewOptions{.shown = c.shown});
    ASSERT_EQ(accounts.size(), c.accounts.size());
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
    EXPECT_EQ(waybar["text"], markupText(c.text));
    EXPECT_EQ(waybar["tooltip"], markupText(long_));
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

// The service's trouble is the machine's: with several accounts it shows once, after them, in the
// line and in the tooltip, however many accounts read the same file.
TEST(AccountsView, ShowsTheServiceOnceForAllAccounts) {
  const testing::ScopedTempDir root;
  const std::filesystem::path defaultFile = root / "plan-snapshot.json";
  testing::writeFile(defaultFile, encodeSnapshot(snapshot(41, 14, PlanStatus::active)));
  std::filesystem::create_directories(accountFile(defaultFile, "work").parent_path());
  testing::writeFile(accountFile(defaultFile, "work"),
                     encodeSnapshot(snapshot(88, 20, PlanStatus::active)));
  testing::writeFile(
      root / "service-status.json",
      encodeServiceStatus(ServiceStatus{ServiceIndicator::major,
                                        "Partial outage",
                                        kNow - 1min,
                                        {{"Claude Code", ComponentState::majorOutage}},
                                        {{"x1", "Errors on Claude Code", IncidentImpact::major,
                                          IncidentState::investigating, "https://stspg.io/x1"}}}));
  const std::vector<AccountView> accounts =
      viewAccounts(findAccounts(defaultFile), kNow,
                   ViewOptions{.serviceStatusFile = root / "service-status.json"});
  ASSERT_EQ(accounts.size(), 2u);
  ASSERT_TRUE(accounts[1].view && accounts[1].view->service);
  const std::string &mark = accounts[1].view->service->mark;
  const auto count = [](const std::string &text, const std::string &part) {
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
      ++found;
    }
    return found;
  };
  EXPECT_EQ(formatAccounts(accounts, OutputFormat::text),
            "default 5h 41% \u00b7 7d 14% | work 5h 88% | " + mark);
  const std::string long_ = formatAccounts(accounts, OutputFormat::longText);
  std::string details;
  for (const std::string &line : accounts[1].view->service->details) {
    EXPECT_EQ(count(long_, line), 1u) << line;
    details += "\n" + line;
  }
  EXPECT_TRUE(long_.ends_with("Data fetched 1m ago\n\n" + details.substr(1))) << long_;
}

} // namespace
} // namespace quorbel
