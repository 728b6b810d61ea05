#include "platform/atomic_file.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace quorbel {
namespace {

mode_t modeOf(const std::filesystem::path &path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// The snapshot and the notifier's state describe the user's account. A helper or a notifier
// started by hand runs under the login umask, not the unit's 0077.
TEST(ReplaceFile, MakesPrivateFilesAndFoldersWhateverTheUmaskAndLeavesOtherFoldersAlone) {
  for (const mode_t umask : {mode_t(0022), mode_t(0277)}) {
    SCOPED_TRACE(umask);
    const testing::ScopedTempDir temp;
    const auto existing = temp / "existing";
    std::filesystem::create_directory(existing);
    ::chmod(existing.c_str(), 0751);
    testing::writeFile(existing / "written-before.json", "old");
    ::chmod((existing / "written-before.json").c_str(), 0644);

    const mode_t before = ::umask(umask);
    replaceFile(existing / "a/b/plan-snapshot.json", "new");
    replaceFile(existing / "written-before.json", "new");
    ::umask(before);

    EXPECT_EQ(modeOf(existing), 0751u);
    EXPECT_EQ(modeOf(existing / "a"), 0700u);
    EXPECT_EQ(modeOf(existing / "a/b"), 0700u);
    EXPECT_EQ(modeOf(existing / "a/b/plan-snapshot.json"), 0600u);
    EXPECT_EQ(modeOf(existing / "written-before.json"), 0600u);
    EXPECT_EQ(testing::readFile(existing / "a/b/plan-snapshot.json"), "new");
  }
}

// node_exporter's textfile collector reads every "*.prom" in its folder, as its own user: the
// half-written file must not be one of them, and the finished one must be readable.
TEST(AtomicFile, WritesAHiddenTemporaryThatNoCollectorReadsThenTheModeAsked) {
  const testing::ScopedTempDir temp;
  const mode_t before = ::umask(0077);
  {
    AtomicFile writer(temp / "quorbel.prom", kReadableFileMode);
    writer.write("quorbel_status 1\n");
    const auto names = testing::entriesOf(temp.path());
    ASSERT_EQ(names.size(), 1u);
    const std::string &name = *names.begin();
    EXPECT_TRUE(name.starts_with(".quorbel.prom.tmp-" + std::to_string(::getpid()) + "-")) << name;
    EXPECT_FALSE(name.ends_with(".prom")) << name;
    writer.commit();
  }
  ::umask(before);
  EXPECT_EQ(modeOf(temp / "quorbel.prom"), 0644u);
  EXPECT_EQ(testing::readFile(temp / "quorbel.prom"), "quorbel_status 1\n");
  EXPECT_EQ(testing::entriesOf(temp.path()), std::set<std::string>{"quorbel.prom"});
}

} // namespace
} // namespace quorbel
