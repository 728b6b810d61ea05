#include "platform/home_directory.hpp"
#include "source/credentials_file_linux.hpp"
#include "store/snapshot_store.hpp"
#include "support/scoped_environment.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using testing::ScopedEnvironment;

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
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(SnapshotStore::defaultFileURL(), credentials.parent_path().parent_path() /
                                                 ".local/share/QuorbelHelper/plan-snapshot.json");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "a warning about a missing App Group";
}

} // namespace
} // namespace quorbel
