#include "store/snapshot_location.hpp"
#include "store/snapshot_store.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

namespace quorbel {
namespace {

TEST(SnapshotLocation, FollowsTheEnvironment) {
  struct Case {
    const char *name;
    LocationEnvironment environment;
    std::string expected;
    bool fallback;
  };
  const Case cases[] = {
      {"container wins",
       {"/containers/group", "/xdg", "/home/u", "/pw"},
       "/containers/group/plan-snapshot.json",
       false},
      {"XDG_DATA_HOME",
       {{}, "/xdg", "/home/u", "/pw"},
       "/xdg/QuorbelHelper/plan-snapshot.json",
       true},
      {"relative XDG_DATA_HOME is ignored",
       {{}, "rel/xdg", "/home/u", "/pw"},
       "/home/u/.local/share/QuorbelHelper/plan-snapshot.json",
       true},
      {"empty XDG_DATA_HOME is ignored",
       {{}, "", "/home/u", "/pw"},
       "/home/u/.local/share/QuorbelHelper/plan-snapshot.json",
       true},
      {"no HOME", {{}, {}, {}, "/pw"}, "/pw/.local/share/QuorbelHelper/plan-snapshot.json", true},
      {"empty HOME",
       {{}, {}, "", "/pw"},
       "/pw/.local/share/QuorbelHelper/plan-snapshot.json",
       true},
      {"no home at all", {{}, {}, {}, {}}, "/tmp/QuorbelHelper/plan-snapshot.json", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const SnapshotLocation location = resolveSnapshotLocation(c.environment);
    EXPECT_EQ(location.file, c.expected);
    EXPECT_EQ(location.fallback, c.fallback);
  }
}

TEST(SnapshotLocation, TheWarningIsPrintedOnceHoweverOftenTheLocationIsRead) {
  EXPECT_EQ(appGroupFallbackWarning(),
            "[SnapshotStore] WARNING: App Group container 'group.dev.quorbel.helper' unavailable; "
            "falling back to Application Support. The base app will NOT see this snapshot. Check "
            "the application-groups entitlement / code signing.\n");
  ::testing::internal::CaptureStderr();
  const auto &first = SnapshotStore::defaultFileURL();
  const auto &second = SnapshotStore::defaultFileURL();
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(first, resolveSnapshotLocation(LocationEnvironment::current()).file);
  // Another test in this process may have resolved it first; then nothing more is printed.
  EXPECT_TRUE(printed.empty() || printed == appGroupFallbackWarning()) << printed;
}

} // namespace
} // namespace quorbel
