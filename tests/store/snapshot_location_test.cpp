#include "store/snapshot_location.hpp"
#include "store/snapshot_store.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

TEST(SnapshotLocation, FollowsTheEnvironment) {
  struct Case {
    const char *name;
    LocationEnvironment environment;
    std::optional<std::filesystem::path> expected;
  };
  const Case cases[] = {
      {"container wins",
       {"/containers/group", "/xdg", "/home/u"},
       "/containers/group/plan-snapshot.json"},
      {"XDG_DATA_HOME", {{}, "/xdg", "/home/u"}, "/xdg/QuorbelHelper/plan-snapshot.json"},
      {"XDG_DATA_HOME needs no home", {{}, "/xdg", {}}, "/xdg/QuorbelHelper/plan-snapshot.json"},
      {"relative XDG_DATA_HOME is ignored",
       {{}, "rel/xdg", "/home/u"},
       "/home/u/.local/share/QuorbelHelper/plan-snapshot.json"},
      {"empty XDG_DATA_HOME is ignored",
       {{}, "", "/home/u"},
       "/home/u/.local/share/QuorbelHelper/plan-snapshot.json"},
      {"no home at all is no location, never a shared directory", {{}, "rel", {}}, std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(resolveSnapshotLocation(c.environment), c.expected);
  }
}

TEST(SnapshotLocation, TheDefaultLocationPrintsNoAppGroupWarning) {
  ::testing::internal::CaptureStderr();
  const auto location = SnapshotStore::defaultFileURL();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(location, resolveSnapshotLocation(LocationEnvironment::current()));
}

} // namespace
} // namespace quorbel
