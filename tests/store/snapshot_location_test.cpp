#include "store/snapshot_location.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

TEST(SnapshotLocation, FollowsTheEnvironment) {
  struct Case {
    LocationEnvironment environment;
    std::optional<std::filesystem::path> expected;
  };
  const std::filesystem::path share = "/home/u/.local/share/QuorbelHelper/plan-snapshot.json";
  const Case cases[] = {{{"/group", "/xdg", "/home/u"}, "/group/plan-snapshot.json"},
                        {{{}, "/xdg", "/home/u"}, "/xdg/QuorbelHelper/plan-snapshot.json"},
                        {{{}, "/xdg", {}}, "/xdg/QuorbelHelper/plan-snapshot.json"},
                        {{{}, "rel/xdg", "/home/u"}, share},
                        // Never a shared directory such as /tmp, where others could plant the file.
                        {{{}, "rel", {}}, std::nullopt}};
  for (const auto &c : cases) {
    SCOPED_TRACE(&c - cases);
    EXPECT_EQ(resolveSnapshotLocation(c.environment), c.expected);
  }
}

} // namespace
} // namespace quorbel
