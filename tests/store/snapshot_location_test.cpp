#include "platform/home_directory.hpp"
#include "source/credentials_file_linux.hpp"
#include "store/snapshot_location.hpp"
#include "store/snapshot_store.hpp"
#include "support/scoped_environment.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using testing::ScopedEnvironment;

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

TEST(HomeDirectory, TakesAnAbsoluteHomeElseThePasswordDatabase) {
  struct Case {
    std::optional<std::string_view> home, passwordHome;
    std::optional<std::filesystem::path> expected;
  };
  const Case cases[] = {
      {"/home/u", "/pw", "/home/u"}, {std::nullopt, "/pw", "/pw"}, {"", "/pw", "/pw"},
      {"home/u", "/pw", "/pw"},      {std::nullopt, "pw", {}},     {"", std::nullopt, {}}};
  for (const auto &c : cases) {
    SCOPED_TRACE(&c - cases);
    EXPECT_EQ(chooseHomeDirectory(c.home, c.passwordHome), c.expected);
  }
}

// Credentials under one home and the snapshot under another would show someone else's usage.
TEST(HomeDirectory, CredentialsAndSnapshotAgreeOnARelativeHome) {
  const ScopedEnvironment home("HOME", "relative/home");
  const ScopedEnvironment xdg("XDG_DATA_HOME", nullptr);
  const ScopedEnvironment config("CLAUDE_CONFIG_DIR", nullptr);
  const auto credentials = CredentialsFile::atDefaultLocation().path();
  ASSERT_TRUE(credentials.is_absolute()) << credentials;
  EXPECT_EQ(SnapshotStore::defaultFileURL(), credentials.parent_path().parent_path() /
                                                 ".local/share/QuorbelHelper/plan-snapshot.json");
}

} // namespace
} // namespace quorbel
