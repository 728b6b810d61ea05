#include "platform/home_directory.hpp"
#include "source/credentials_file_linux.hpp"
#include "store/snapshot_location.hpp"
#include "store/snapshot_store.hpp"
#include "support/scoped_environment.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using testing::ScopedEnvironment;

// HOME counts only when absolute, else the password database's home does, and XDG_DATA_HOME only
// when absolute. Without a home there is no location, never a shared directory such as /tmp where
// others could plant the file.
TEST(SnapshotLocation, FollowsTheEnvironmentAndThePasswordDatabase) {
  const struct {
    std::optional<std::filesystem::path> container;
    std::optional<std::string> xdg;
    std::optional<std::string_view> home, passwordHome;
    std::optional<std::filesystem::path> expected;
  } cases[] = {
      {"/group", "/xdg", "/home/u", "/pw", "/group/plan-snapshot.json"},
      {{}, "/xdg", "/home/u", "/pw", "/xdg/QuorbelHelper/plan-snapshot.json"},
      {{}, "/xdg", {}, {}, "/xdg/QuorbelHelper/plan-snapshot.json"},
      {{}, "rel/xdg", "/home/u", "/pw", "/home/u/.local/share/QuorbelHelper/plan-snapshot.json"},
      {{}, {}, {}, "/pw", "/pw/.local/share/QuorbelHelper/plan-snapshot.json"},
      {{}, {}, "", "/pw", "/pw/.local/share/QuorbelHelper/plan-snapshot.json"},
      {{}, {}, "home/u", "/pw", "/pw/.local/share/QuorbelHelper/plan-snapshot.json"},
      {{}, {}, {}, "pw", std::nullopt},
      {{}, "rel", "", {}, std::nullopt}};
  for (const auto &c : cases) {
    SCOPED_TRACE(&c - cases);
    const auto home = chooseHomeDirectory(c.home, c.passwordHome);
    EXPECT_EQ(resolveSnapshotLocation({c.container, c.xdg, home}), c.expected);
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
