#include "tray/tray_look.hpp"

#include "support/snapshots.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::usageAt;

const Instant kNow = *PlanDateParser::dateFrom("2026-06-29T12:00:00Z");

AccountView accountOf(std::string name, const PlanSnapshot &snapshot,
                      const ViewOptions &options = {}) {
  SnapshotReading reading{snapshot, false, ""};
  return {std::move(name), reading, UsageView::of(snapshot, kNow, options)};
}

PlanSnapshot using_(std::int64_t session, std::int64_t weekly,
                    std::optional<PlanStatus> status = PlanStatus::active,
                    Instant fetchedAt = kNow - 1min) {
  return usageAt(fetchedAt, session, weekly, kNow + 2h, kNow + 50h, status);
}

// An account whose view holds the service's trouble, as the reader sets it from a fresh file.
AccountView troubled(ComponentState state) {
  AccountView account = accountOf("default", using_(41, 14));
  account.view->serviceStatus =
      ServiceStatus{ServiceIndicator::major, "", kNow - 1min, {{"Claude Code", state}}, {}};
  account.view->service = ServiceView::of(account.view->serviceStatus, kNow);
  return account;
}

// Each state of an account as the icon and the item's status show it; the label is the text line.
TEST(TrayLookTest, ShowsEachStateInTheIconStatusAndLabel) {
  const PlanStatus active = PlanStatus::active;
  struct Case {
    AccountView account;
    IconLook icon;
    bool attention;
    std::string label;
  };
  const auto at = [](std::int64_t percent, IconTone tone, IconMark mark = IconMark::none) {
    return IconLook{percent, tone, mark};
  };
  const IconLook none{std::nullopt, IconTone::grey, IconMark::none};
  ViewOptions remaining;
  remaining.shown = PercentShown::remaining;
  const Case cases[] = {
      {accountOf("default", using_(41, 14)), at(41, IconTone::ok), false, "5h 41% \u00b7 7d 14%"},
      {accountOf("default", using_(20, 85)), at(85, IconTone::warning), false, ""},
      {accountOf("default", using_(95, 14)), at(95, IconTone::critical), true, ""},
      {accountOf("default", using_(100, 14)), at(100, IconTone::critical), true, ""},
      {accountOf("default", using_(97, 14, active, kNow - 16min)), at(97, IconTone::grey), false,
       "5h 97% \u00b7 7d 14% (stale)"},
      {accountOf("default", using_(85, 14, PlanStatus::rateLimited)),
       at(85, IconTone::warning, IconMark::rateLimited), false, ""},
      {accountOf("default", using_(96, 14, PlanStatus::sessionInactive)),
       at(96, IconTone::grey, IconMark::signedOut), false, ""},
      {accountOf("default", PlanSnapshot::dataless(PlanStatus::noData, kNow)), none, false, ""},
      {accountOf("default", using_(70, 14), remaining), at(30, IconTone::ok), false,
       "5h 30% left \u00b7 7d 86% left"},
      {troubled(ComponentState::majorOutage), at(41, IconTone::ok), true,
       "5h 41% \u00b7 7d 14% \u00b7 Claude Code outage"},
      {troubled(ComponentState::degradedPerformance), at(41, IconTone::ok), false,
       "5h 41% \u00b7 7d 14% \u00b7 Claude Code degraded"},
      {{"default", {std::nullopt, true, "no snapshot at /x yet"}, std::nullopt},
       none,
       false,
       "Claude ?"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(&c - cases);
    const TrayLook look = trayLookOf({c.account});
    EXPECT_EQ(look.icon, c.icon);
    EXPECT_EQ(look.needsAttention, c.attention);
    if (!c.label.empty()) {
      EXPECT_EQ(look.label, c.label);
    }
  }
}

// Several accounts: the fullest one's icon, every account in the label, tooltip and menu, and
// attention when any one is critical.
TEST(TrayLookTest, StandsForSeveralAccountsWithTheFullest) {
  const TrayLook look = trayLookOf({accountOf("default", using_(41, 14)),
                                    accountOf("work", using_(20, 96, PlanStatus::rateLimited)),
                                    {"spare", {std::nullopt, true, "no snapshot yet"}, {}}});
  EXPECT_EQ(look.icon, (IconLook{96, IconTone::critical, IconMark::rateLimited}));
  EXPECT_TRUE(look.needsAttention);
  for (const char *name : {"default", "work", "spare"}) {
    EXPECT_NE(look.label.find(name), std::string::npos) << look.label;
    EXPECT_NE(look.tooltip.find(name), std::string::npos) << look.tooltip;
    EXPECT_TRUE(std::any_of(look.rows.begin(), look.rows.end(), [name](const std::string &row) {
      return row.find(name) != std::string::npos;
    })) << name;
  }
  // The accounts' sections are apart in the menu.
  EXPECT_NE(std::find(look.rows.begin(), look.rows.end(), ""), look.rows.end());
}

// Text from the file and from the reading reaches the tooltip cleaned and escaped for markup;
// without a file the menu says how to start the helper.
TEST(TrayLookTest, CleansAndEscapesOutsideTextAndTellsHowToStart) {
  PlanSnapshot hostile = using_(41, 14);
  hostile.subscriptionType = "max<b>&\x1b[31m_pro";
  const TrayLook look = trayLookOf({accountOf("default", hostile)});
  EXPECT_NE(look.tooltip.find("Plan: max&lt;b&gt;&amp;[31m_pro"), std::string::npos)
      << look.tooltip;
  EXPECT_EQ(look.tooltip.find('\x1b'), std::string::npos);
  EXPECT_NE(std::find(look.rows.begin(), look.rows.end(), "Plan: max<b>&[31m_pro"),
            look.rows.end());

  const TrayLook missing =
      trayLookOf({{"default", {std::nullopt, true, "no snapshot at /a<b>\x07 yet"}, {}}});
  EXPECT_EQ(missing.rows, (std::vector<std::string>{"no snapshot at /a<b> yet", kStartHelperHint}));
  EXPECT_EQ(missing.tooltip.find("<b>"), std::string::npos) << missing.tooltip;
  const TrayLook unreadable =
      trayLookOf({{"default", {std::nullopt, false, "cannot read /a: not a snapshot"}, {}}});
  EXPECT_EQ(unreadable.rows, (std::vector<std::string>{"cannot read /a: not a snapshot"}));
}

// The item wakes for what the icon and label show, never for the minute-by-minute countdowns.
TEST(TrayLookTest, NextChangeIsTheStaleMomentOrAReset) {
  const ViewOptions options;
  struct Case {
    const char *name;
    PlanSnapshot snapshot;
    std::optional<Instant> next;
  };
  const Case cases[] = {
      {"fresh", using_(41, 14), kNow - 1min + 15min + 1s},
      {"rate limited turns grey too", using_(41, 14, PlanStatus::rateLimited),
       kNow - 1min + 15min + 1s},
      {"stale: the reset", using_(41, 14, PlanStatus::active, kNow - 1h), kNow + 2h},
      {"no data: nothing", PlanSnapshot::dataless(PlanStatus::noData, kNow), std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(nextTrayChange({accountOf("default", c.snapshot, options)}, options), c.next);
  }
}

} // namespace
} // namespace quorbel
