#include "platform/home_directory.hpp"
#include "source/credentials_file_linux.hpp"
#include "store/snapshot_location.hpp"
#include "support/scoped_environment.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

namespace quorbel {
namespace {

using testing::ScopedEnvironment;

TEST(HomeDirectory, TakesAnAbsoluteHomeElseThePasswordDatabase) {
  struct Case {
    const char *name;
    std::optional<std::string_view> home;
    std::optional<std::string_view> passwordHome;
    std::optional<std::filesystem::path> expected;
  };
  const Case cases[] = {
      {"HOME", "/home/u", "/pw", "/home/u"},
      {"no HOME", std::nullopt, "/pw", "/pw"},
      {"empty HOME", "", "/pw", "/pw"},
      {"relative HOME", "home/u", "/pw", "/pw"},
      {"relative database home", std::nullopt, "pw", std::nullopt},
      {"nothing at all", "", std::nullopt, std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(chooseHomeDirectory(c.home, c.passwordHome), c.expected);
  }
}

// Credentials under one home and the snapshot under another would leave a reader and the helper
// disagreeing about whose usage is shown.
TEST(HomeDirectory, CredentialsAndSnapshotAgreeOnARelativeHome) {
  const passwd *entry = ::getpwuid(::getuid());
  if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') {
    GTEST_SKIP() << "this user has no absolute home in the password database";
  }
  const std::filesystem::path databaseHome = entry->pw_dir;
  const ScopedEnvironment home("HOME", "relative/home");
  const ScopedEnvironment xdg("XDG_DATA_HOME", nullptr);
  const ScopedEnvironment config("CLAUDE_CONFIG_DIR", nullptr);
  EXPECT_EQ(CredentialsFile::atDefaultLocation().path(),
            databaseHome / ".claude/.credentials.json");
  EXPECT_EQ(resolveSnapshotLocation(LocationEnvironment::current()),
            databaseHome / ".local/share/QuorbelHelper/plan-snapshot.json");
}

} // namespace
} // namespace quorbel
