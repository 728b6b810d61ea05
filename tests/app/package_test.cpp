#include "model/helper_version.hpp"
#include "model/snapshot_json.hpp"
#include "support/command.hpp"
#include "support/text.hpp"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using testing::linesOf;
using testing::readFile;
using testing::runCommand;
using testing::ScopedTempDir;

// Appended in order: GCC 12 at -O3 reports a false -Wrestrict for `"'" + path.string()`.
std::string quoted(const fs::path &path) {
  std::string text(1, '\'');
  text += path.string();
  text += '\'';
  return text;
}

// " Name: value" lines of `dpkg-deb -I`, by name.
std::map<std::string, std::string> controlFields(const std::string &info) {
  std::map<std::string, std::string> fields;
  for (const auto &line : linesOf(info)) {
    const auto colon = line.find(": ");
    if (line.starts_with(" ") && !line.starts_with("  ") && colon != std::string::npos) {
      fields[line.substr(1, colon - 1)] = line.substr(colon + 2);
    }
  }
  return fields;
}

// Regular files of `dpkg-deb -c`, each with its mode and owner.
std::map<std::string, std::string> packagedFiles(const std::string &listing) {
  std::map<std::string, std::string> files;
  for (const auto &line : linesOf(listing)) {
    std::istringstream words(line);
    std::string mode, owner, size, date, time, name;
    words >> mode >> owner >> size >> date >> time >> name;
    if (mode.starts_with("-")) {
      files[name] = mode + " " + owner;
    }
  }
  return files;
}

TEST(DebianPackage, InstallsUnderUsrWithComputedDependsAndRunsFromAnUnpackedRoot) {
  ScopedTempDir work;
  for (const char *tool : {"dpkg-deb", "dpkg-shlibdeps"}) {
    if (runCommand(std::string("command -v ") + tool, work).exitStatus != 0) {
      GTEST_SKIP() << tool << " is not installed (package dpkg-dev); the package was not built";
    }
  }
  const std::string version(kHelperVersion);
  const auto cpack = runCommand("timeout 100 '" QUORBEL_CPACK
                                "' -G DEB --config '" QUORBEL_BUILD_DIR "/CPackConfig.cmake' -B " +
                                    quoted(work / "out"),
                                work);
  ASSERT_EQ(cpack.exitStatus, 0) << cpack.out << cpack.err;
  const auto architecture = linesOf(runCommand("dpkg --print-architecture", work).out);
  ASSERT_EQ(architecture.size(), 1u);
  const auto package = work / ("out/quorbel-helper_" + version + "_" + architecture[0] + ".deb");
  ASSERT_TRUE(fs::exists(package)) << cpack.out;

  auto fields = controlFields(runCommand("dpkg-deb -I " + quoted(package), work).out);
  EXPECT_EQ(fields["Package"], "quorbel-helper");
  EXPECT_EQ(fields["Version"], version);
  EXPECT_EQ(fields["Architecture"], architecture[0]);
  EXPECT_EQ(fields["Section"], "utils");
  EXPECT_FALSE(fields["Maintainer"].empty());
  // Versions in Depends come from dpkg-shlibdeps reading the linked libraries.
  for (const char *dependency : {"libc6 (>= ", "libcurl4 (>= ", "libstdc++6 (>= "}) {
    EXPECT_NE(fields["Depends"].find(dependency), std::string::npos) << fields["Depends"];
  }
  EXPECT_EQ(fields["Recommends"], "libsystemd0") << "what --notify loads at run time";

  const std::string program = "-rwxr-xr-x root/root";
  const std::string data = "-rw-r--r-- root/root";
  const std::map<std::string, std::string> expectedFiles = {
      {"./usr/bin/QuorbelHelper", program},
      {"./usr/bin/quorbel-status", program},
      {"./usr/lib/systemd/user/quorbel-helper.service", data},
      {"./usr/lib/systemd/user/quorbel-notify.service", data},
      {"./usr/share/doc/quorbel-helper/README.md", data},
      {"./usr/share/doc/quorbel-helper/copyright", data},
      {"./usr/share/doc/quorbel-helper/changelog.gz", data},
      {"./usr/share/man/man1/QuorbelHelper.1.gz", data},
      {"./usr/share/man/man1/quorbel-status.1.gz", data},
  };
  EXPECT_EQ(packagedFiles(runCommand("dpkg-deb -c " + quoted(package), work).out), expectedFiles);

  const auto root = work / "root";
  ASSERT_EQ(runCommand("dpkg-deb -x " + quoted(package) + " " + quoted(root), work).exitStatus, 0);
  const std::string unit = readFile(root / "usr/lib/systemd/user/quorbel-helper.service");
  EXPECT_NE(unit.find("\nExecStart=/usr/bin/QuorbelHelper\n"), std::string::npos) << unit;
  for (const char *page : {"QuorbelHelper.1", "quorbel-status.1"}) {
    const auto unpacked = root / "usr/share/man/man1" / (std::string(page) + ".gz");
    EXPECT_EQ(runCommand("gzip -dc " + quoted(unpacked), work).out,
              readFile(fs::path(QUORBEL_MAN_DIR) / page))
        << page;
  }

  // A version bump needs its changelog entry, or the package contradicts itself.
  const auto changelog = linesOf(
      runCommand("gzip -dc " + quoted(root / "usr/share/doc/quorbel-helper/changelog.gz"), work)
          .out);
  ASSERT_FALSE(changelog.empty());
  EXPECT_TRUE(changelog[0].starts_with("quorbel-helper (" + version + ") ")) << changelog[0];

  const auto fixture = work / "plan-snapshot.json";
  const Instant now = std::chrono::system_clock::now();
  testing::writeFile(fixture,
                     encodeSnapshot(PlanSnapshot{now, PlanWindow{41, now + std::chrono::hours(2)},
                                                 PlanWindow{14, now + std::chrono::hours(50)},
                                                 "max", std::nullopt, PlanStatus::active}));
  struct Run {
    std::string arguments; // the program under the unpacked root, and its arguments
    std::string lastLine;
  };
  const Run runs[] = {
      {"usr/bin/QuorbelHelper --version", "QuorbelHelper " + version},
      {"usr/bin/QuorbelHelper", "== Result: ALL PASSED \u2705 =="},
      {"usr/bin/quorbel-status --version", "quorbel-status " + version},
      {"usr/bin/quorbel-status --file " + quoted(fixture), "5h 41% \u00b7 7d 14%"},
  };
  const std::string environment = "env -i HOME=" + quoted(work.path()) +
                                  " TMPDIR=" + quoted(work.path()) +
                                  " QUORBEL_HELPER_DRYTEST=1 timeout 30 ";
  for (const auto &run : runs) {
    SCOPED_TRACE(run.arguments);
    const auto result = runCommand(environment + quoted(root) + "/" + run.arguments, work);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const auto lines = linesOf(result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), run.lastLine);
  }
}

} // namespace
} // namespace quorbel
