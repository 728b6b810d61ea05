#include "model/helper_version.hpp"
#include "support/command.hpp"
#include "support/text.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

TEST(DebianPackage, InstallsUnderUsrWithComputedDependsAndRunsFromAnUnpackedRoot) {
  testing::ScopedTempDir work;
  const auto run = [&](const std::string &command) { return testing::runCommand(command, work); };
  for (const std::string tool : {"dpkg-deb", "dpkg-shlibdeps"}) {
    if (run("command -v " + tool).exitStatus != 0) {
      GTEST_SKIP() << tool << " is not installed (package dpkg-dev); the package was not built";
    }
  }
  const std::string version(kHelperVersion);
  const auto cpack = run("timeout 100 '" QUORBEL_CPACK "' -G DEB --config '" QUORBEL_BUILD_DIR
                         "/CPackConfig.cmake' -B '" +
                         (work / "out").string() + "'");
  ASSERT_EQ(cpack.exitStatus, 0) << cpack.out << cpack.err;
  const std::string architecture = testing::linesOf(run("dpkg --print-architecture").out).at(0);
  const std::string deb =
      (work / "out/quorbel-helper_").string() + version + "_" + architecture + ".deb";
  const std::string package = "'" + deb + "'";

  const std::string fields =
      run("dpkg-deb -W --showformat='${Package} ${Version} ${Architecture} ${Section} "
          "${Recommends}\\n${Depends}' " +
          package)
          .out;
  // libsystemd0 is what --notify loads at run time.
  EXPECT_TRUE(
      fields.starts_with("quorbel-helper " + version + " " + architecture + " utils libsystemd0\n"))
      << fields;
  // Versions in Depends come from dpkg-shlibdeps reading the linked libraries.
  for (const char *dependency : {"libc6 (>= ", "libcurl4 (>= ", "libstdc++6 (>= "}) {
    EXPECT_NE(fields.find(dependency), std::string::npos) << fields;
  }
  std::string expectedFiles;
  for (const char *file : {"x bin/QuorbelHelper",
                           "x bin/quorbel-status",
                           "- lib/systemd/user/quorbel-helper.service",
                           "- lib/systemd/user/quorbel-helper@.service",
                           "- lib/systemd/user/quorbel-metrics.service",
                           "- lib/systemd/user/quorbel-notify.service",
                           "- share/doc/quorbel-helper/README.md",
                           "- share/doc/quorbel-helper/changelog.gz",
                           "- share/doc/quorbel-helper/copyright",
                           "- share/doc/quorbel-helper/docs/bars.md",
                           "- share/doc/quorbel-helper/docs/building.md",
                           "- share/doc/quorbel-helper/docs/file-format.md",
                           "- share/doc/quorbel-helper/docs/helper.md",
                           "- share/doc/quorbel-helper/docs/history.md",
                           "- share/doc/quorbel-helper/docs/metrics.md",
                           "- share/doc/quorbel-helper/docs/notifications.md",
                           "- share/doc/quorbel-helper/docs/reading.md",
                           "- share/doc/quorbel-helper/docs/service.md",
                           "- share/doc/quorbel-helper/docs/statuses.md",
                           "- share/doc/quorbel-helper/docs/tray.md",
                           "- share/man/man1/QuorbelHelper.1.gz",
                           "- share/man/man1/quorbel-status.1.gz",
                           "- share/quorbel-helper/quorbel-alerts.yml"}) {
    expectedFiles += std::string(file[0] == 'x' ? "-rwxr-xr-x" : "-rw-r--r--") +
                     " root/root ./usr/" + (file + 2) + "\n";
  }
  EXPECT_EQ(
      run("dpkg-deb -c " + package + " | awk '/^-/ {print $1, $2, $6}' | LC_ALL=C sort -k3").out,
      expectedFiles);

  const auto root = work / "root";
  ASSERT_EQ(run("dpkg-deb -x " + package + " '" + root.string() + "'").exitStatus, 0);
  EXPECT_NE(testing::readFile(root / "usr/lib/systemd/user/quorbel-helper.service")
                .find("\nExecStart=/usr/bin/QuorbelHelper\n"),
            std::string::npos);
  EXPECT_NE(testing::readFile(root / "usr/lib/systemd/user/quorbel-helper@.service")
                .find("\nExecStart=/usr/bin/QuorbelHelper --account %i\n"),
            std::string::npos);
  // A version bump needs its changelog entry, or the package contradicts itself.
  EXPECT_TRUE(
      run("gzip -dc '" + (root / "usr/share/doc/quorbel-helper/changelog.gz").string() + "'")
          .out.starts_with("quorbel-helper (" + version + ") "));

  // The tray is a package of its own beside this one: the drawing library stays off servers.
  EXPECT_EQ(fields.find("libcairo"), std::string::npos) << fields;
  const std::string trayDeb =
      (work / "out/quorbel-tray_").string() + version + "_" + architecture + ".deb";
  const std::string tray = "'" + trayDeb + "'";
  const std::string trayDepends = run("dpkg-deb -f " + tray + " Depends").out;
  const std::string wanted[] = {"quorbel-helper (= " + version + ")",
                                "libcairo2 (>= ", "libsystemd0 (>= "};
  for (const std::string &dependency : wanted) {
    EXPECT_NE(trayDepends.find(dependency), std::string::npos) << trayDepends;
  }
  EXPECT_EQ(run("dpkg-deb -c " + tray + " | awk '/^-/ {print $1, $6}' | LC_ALL=C sort -k2").out,
            "-rw-r--r-- ./etc/xdg/autostart/quorbel-tray.desktop\n"
            "-rwxr-xr-x ./usr/bin/quorbel-tray\n"
            "-rw-r--r-- ./usr/share/doc/quorbel-tray/changelog.gz\n"
            "-rw-r--r-- ./usr/share/doc/quorbel-tray/copyright\n"
            "-rw-r--r-- ./usr/share/man/man1/quorbel-tray.1.gz\n");
  // dpkg keeps a user's edit of the autostart entry across upgrades only when it is a conffile.
  EXPECT_EQ(run("dpkg-deb --ctrl-tarfile " + tray + " | tar -xO ./conffiles").out,
            "/etc/xdg/autostart/quorbel-tray.desktop\n");
  ASSERT_EQ(run("dpkg-deb -x " + tray + " '" + root.string() + "'").exitStatus, 0);
  EXPECT_NE(testing::readFile(root / "etc/xdg/autostart/quorbel-tray.desktop")
                .find("\nExec=/usr/bin/quorbel-tray\n"),
            std::string::npos);

  const std::pair<std::string, std::string> runs[] = {
      {"QuorbelHelper --version", "QuorbelHelper " + version},
      {"QuorbelHelper", "== Result: ALL PASSED \u2705 =="},
      {"quorbel-status --version", "quorbel-status " + version},
      {"quorbel-tray --version", "quorbel-tray " + version},
  };
  for (const auto &[arguments, lastLine] : runs) {
    SCOPED_TRACE(arguments);
    const auto result = run("env -i HOME='" + work.path().string() + "' TMPDIR='" +
                            work.path().string() + "' QUORBEL_HELPER_DRYTEST=1 timeout 30 '" +
                            (root / "usr/bin/").string() + "'" + arguments);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_TRUE(("\n" + result.out).ends_with("\n" + lastLine + "\n")) << result.out;
  }
}

} // namespace
} // namespace quorbel
