// quorbel-status as bars, terminals and the desktop run it: the one-shot, --watch and --notify,
// over one account or several.

#include "app/child_process.hpp"
#include "history/history_store.hpp"
#include "model/clock.hpp"
#include "model/display_text.hpp"
#include "model/snapshot_json.hpp"
#include "platform/unique_fd.hpp"
#include "store/config_folder_record.hpp"
#include "store/snapshot_store.hpp"
#include "support/command.hpp"
#include "support/deadline.hpp"
#include "support/scoped_environment.hpp"
#include "support/snapshots.hpp"
#include "support/text.hpp"
#include "view/clock_text.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <regex>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::fetchedNow;

constexpr const char *kSnapshotInHome = ".local/share/QuorbelHelper/plan-snapshot.json";

TEST(StatusCommandTest, ServesBarsAsTheReadmeRunsItAndFailsClearly) {
  const std::string readme = testing::readFile(std::string(QUORBEL_SOURCE_DIR) + "/README.md");
  // The other bars' snippets run the same command as the first.
  for (const char *snippet :
       {R"("exec": "~/.local/bin/quorbel-status --format waybar")",
        R"("exec": "~/.local/bin/quorbel-status --watch --format waybar",)"}) {
    EXPECT_NE(readme.find(snippet), std::string::npos) << snippet;
  }
  testing::ScopedTempDir home;
  std::filesystem::create_directories(home / ".local/bin");
  std::filesystem::create_symlink(QUORBEL_STATUS_BINARY, home / ".local/bin/quorbel-status");
  // As a bar runs it: through sh -c, in a bare environment without ~/.local/bin on the PATH, and
  // stopped after a few seconds should it hang.
  const auto run = [&](const std::string &arguments) {
    return testing::runCommand("timeout 5 env -i HOME='" + home.path().string() +
                                   "' PATH=/usr/bin:/bin sh -c '~/.local/bin/quorbel-status " +
                                   arguments + "'",
                               home);
  };
  const auto file = home / kSnapshotInHome;
  const std::string other = (home / "other.json").string();
  testing::writeFile(other, encodeSnapshot(fetchedNow(77)));
  const std::string missing =
      "quorbel-status: no snapshot at " + file.string() + " yet; is QuorbelHelper running?\n";
  const std::string unreadable =
      "quorbel-status: cannot read a snapshot from " + file.string() + "\n";
  const std::string corrupt = "{\"fetchedAt\": 1";
  const struct {
    std::string file; // the default file's content; none when empty
    std::string arguments;
    int exitStatus;
    std::string out; // all of it, or a part of a JSON line
    std::string err;
  } cases[] = {
      {encodeSnapshot(fetchedNow(41)), "", 0, "5h 41% · 7d 14%\n", ""},
      {encodeSnapshot(fetchedNow(41)), "--show remaining", 0, "5h 59% left · 7d 86% left\n", ""},
      {"", "--format waybar --file=" + other, 0, R"("class":["ok"],"percentage":77)", ""},
      {"", "--format=json --warn 70 --critical 77 --file=" + other, 0, R"("class":"critical")", ""},
      {"", "", 3, "Claude ?\n", missing},
      // waybar hides a module whose command fails, so its format succeeds whenever it printed.
      {"", "--format waybar", 0, R"("class":["unavailable"])", missing},
      {corrupt, "", 4, "Claude ?\n", unreadable},
      {corrupt, "--format json", 4, R"({"error":"cannot read)", unreadable},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.arguments);
    std::filesystem::remove(file);
    if (!c.file.empty()) {
      testing::writeFile(file, c.file);
    }
    const auto result = run(c.arguments);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_TRUE(result.out == c.out ||
                (result.out.ends_with("}\n") && nlohmann::json::accept(result.out) &&
                 result.out.find(c.out) != std::string::npos))
        << result.out;
    EXPECT_EQ(result.err, c.err);
  }
  for (const char *arguments :
       {"--format yaml", "--warn 101", "--critical 101", "--warn 90 --critical 80",
        "--stale-after soon", "--stale-after 999999999999", "--show left", "--bogus", "extra",
        "--file=", "--critical", "--watch --notify", "--notify --output /tmp/x.prom",
        "--output="}) {
    SCOPED_TRACE(arguments);
    const auto result = run(arguments);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_NE(result.err.find("Usage: quorbel-status"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
  // A limit past what any instant plus it may reach is refused, saying why.
  EXPECT_TRUE(run("--stale-after 999999999999")
                  .err.starts_with("quorbel-status: --stale-after is at most ten years (87840h), "
                                   "not '999999999999'\n"));
}

// The built program over a small history that the helper's own store wrote, for the default
// account and "work": the exports of every account or of one, the empty span, a picture written to
// a file, and `long` pacing the five-hour window by its last half hour (16 % in 30 minutes runs
// the 60 % left out 37 minutes before the reset).
TEST(HistoryCommand, ReadsTheHelpersHistoryForExportsPicturesAndThePace) {
  testing::ScopedTempDir temp;
  const auto file = temp / kSnapshotInHome;
  const auto work = file.parent_path() / "accounts/work/plan-snapshot.json";
  const Instant now = std::chrono::floor<std::chrono::seconds>(systemClock().now());
  const Instant sessionReset = now + 150min;
  const Instant weeklyReset = now + 50h;
  const auto fetched = [&](std::chrono::minutes ago, std::int64_t session, std::int64_t weekly) {
    return testing::usageAt(now - ago, session, weekly, sessionReset, weeklyReset);
  };
  std::filesystem::create_directories(work.parent_path());
  {
    HistoryStore store(historyPathBeside(file));
    ASSERT_FALSE(store.record(fetched(40min, 20, 13)));
    ASSERT_FALSE(store.record(fetched(10min, 36, 14)));
    ASSERT_FALSE(HistoryStore(historyPathBeside(work)).record(fetched(20min, 50, 60)));
  }
  testing::writeFile(file, encodeSnapshot(fetched(0min, 40, 14)));
  testing::writeFile(work, encodeSnapshot(fetched(0min, 50, 60)));
  const auto row = [&](std::chrono::minutes ago, const char *account, const char *window,
                       const char *percent, Instant reset) {
    return formatInternetDate(now - ago) + "," + account + "," + window + "," + percent + "," +
           formatInternetDate(reset) + "\r\n";
  };
  const std::string header = "time,account,window,percent,resetsAt\r\n";
  const std::string workRows = row(20min, "work", "session", "50", sessionReset) +
                               row(20min, "work", "allModels", "60", weeklyReset);
  const std::string svg = (temp / "usage.svg").string();
  // The output, all of it, or for the others a part of it.
  const std::pair<std::string, std::string> cases[] = {
      {"--history --since 1h --format csv",
       header + row(40min, "default", "session", "20", sessionReset) +
           row(40min, "default", "allModels", "13", weeklyReset) +
           row(10min, "default", "session", "36", sessionReset) +
           row(10min, "default", "allModels", "14", weeklyReset) + workRows},
      {"--history --since 1h --format csv --account work", header + workRows},
      {"--history --since 5m", "No usage history in the last 5m.\n"},
      {"--history --format svg --output " + svg, ""},
      {"--history --since 1h", "\nwork: five-hour window, last 1h\n"},
      {"--history --since 1h --format json", "\"account\": \"work\""},
  };
  const auto run = [&](const std::string &arguments) {
    return testing::runCommand("env -i COLUMNS=80 HOME='" + temp.path().string() + "' " +
                                   QUORBEL_STATUS_BINARY + " " + arguments,
                               temp);
  };
  for (const auto &[arguments, out] : cases) {
    SCOPED_TRACE(arguments);
    const auto result = run(arguments);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    const bool whole = arguments.find("--format csv") != std::string::npos ||
                       arguments.find("--output") != std::string::npos ||
                       arguments.find("5m") != std::string::npos;
    EXPECT_TRUE(whole ? result.out == out : result.out.find(out) != std::string::npos)
        << result.out;
    if (arguments == "--history --since 1h") {
      EXPECT_TRUE(result.out.starts_with("default: five-hour window, last 1h\n")) << result.out;
    }
  }
  // Beside another account, each section of long and of the waybar tooltip is what the account
  // shows alone, its pace and trend lines included.
  const std::string alone = run("--account default --format long").out;
  for (const std::string &part : {std::string("\n5h over 24 h  "),
                                  "\n    50 % of the window elapsed, on pace to run out about " +
                                      localClock(sessionReset - 37min, now) +
                                      ", 37m before reset (rate of the last hour)\n"}) {
    EXPECT_NE(alone.find(part), std::string::npos) << alone;
  }
  const std::string section = "default\n  " + std::regex_replace(alone.substr(0, alone.size() - 1),
                                                                 std::regex("\n"), "\n  ");
  EXPECT_NE(run("--format long").out.find(section + "\n\nwork\n"), std::string::npos);
  const auto tooltip = [&](const std::string &arguments) {
    return nlohmann::json::parse(run("--format waybar " + arguments).out)["tooltip"]
        .get<std::string>();
  };
  EXPECT_TRUE(tooltip("").starts_with(markupText(section))) << tooltip("");
  EXPECT_EQ(tooltip("--account default") + "\n", markupText(alone));
  const std::string picture = testing::readFile(svg);
  EXPECT_TRUE(picture.starts_with("<svg") || picture.starts_with("<?xml")) << picture;
  for (const char *legend : {">default five-hour</text>", ">work weekly</text>", "</svg>"}) {
    EXPECT_NE(picture.find(legend), std::string::npos) << legend;
  }
}

// Run as the README has waybar run it (checked above), the watch prints a line before the helper
// has made its directory, follows the file as the directory appears, goes and comes back, and ends
// quietly with status 0 on a stop signal or when the bar stops reading.
TEST(WatchCommand, FollowsTheFileThroughItsDirectoryUntilStopped) {
  testing::ScopedTempDir home;
  const auto file = home / kSnapshotInHome;
  const std::string missing =
      "quorbel-status: no snapshot at " + file.string() + " yet; is QuorbelHelper running?\n";
  for (const int stop : {SIGTERM, SIGINT, 0}) {
    SCOPED_TRACE(stop); // 0: the reader goes
    std::filesystem::remove_all(file.parent_path());
    ChildProcess child(QUORBEL_STATUS_BINARY, {"HOME=" + home.path().string()},
                       {.arguments = {"--watch", "--format", "waybar"}});
    const auto lines = [&] { return testing::linesOf(child.standardOutput()); };
    std::size_t shown = 0;
    for (const std::int64_t percent : {0, 41, 0, 60}) {
      percent == 0 ? (void)std::filesystem::remove_all(file.parent_path())
                   : SnapshotStore(file).save(fetchedNow(percent));
      ASSERT_TRUE(child.waitFor([&] { return lines().size() > shown; }, 5s));
      EXPECT_EQ(nlohmann::json::parse(lines()[shown++]).at("percentage"), percent);
    }
    stop != 0 ? child.sendSignal(stop) : child.closeStandardOutput();
    EXPECT_EQ(child.waitForExit(5s), 0);
    EXPECT_EQ(lines().size(), 4u);
    EXPECT_EQ(child.standardError(), missing + missing);
  }
}

// Several accounts, each helper keeping its own file.
class AccountsStatus : public ::testing::Test {
protected:
  std::filesystem::path file(const std::string &account) const {
    return account == "default" ? data() / "plan-snapshot.json"
                                : data() / "accounts" / account / "plan-snapshot.json";
  }
  std::filesystem::path data() const { return home_ / "share/QuorbelHelper"; }
  testing::CommandResult run(const std::string &arguments) const {
    return testing::runCommand("env -i HOME='" + home_.path().string() + "' XDG_DATA_HOME='" +
                                   (home_ / "share").string() + "' TZ=UTC " +
                                   QUORBEL_STATUS_BINARY + " " + arguments,
                               home_);
  }

  testing::ScopedTempDir home_;
};

TEST_F(AccountsStatus, OneAccountOrOneChosenPrintsExactlyItsOwnFile) {
  const char *formats[] = {"text", "long", "waybar", "json"};
  const auto same = [&](const std::string &arguments, const std::string &account) {
    for (const std::string format : formats) {
      SCOPED_TRACE(arguments + " " + format);
      const auto shown = run("--format " + format + " " + arguments);
      const auto alone = run("--format " + format + " --file '" + file(account).string() + "'");
      EXPECT_EQ(shown.exitStatus, 0) << shown.err;
      // The two runs may fall in different seconds.
      EXPECT_EQ(testing::withoutCounters(shown.out), testing::withoutCounters(alone.out));
      EXPECT_EQ(shown.err, "");
    }
  };
  // An account whose helper runs alone, without the default one.
  SnapshotStore(file("work")).save(fetchedNow(88, 20));
  same("", "work");
  SnapshotStore(file("default")).save(fetchedNow(41, 14));
  SnapshotStore(file("zeta")).save(fetchedNow(5, 96));
  same("--account work", "work");
  same("--account default", "default");
  EXPECT_EQ(run("").out, "default 5h 41% \u00b7 7d 14% | work 5h 88% | zeta 7d 96%\n");

  const auto unknown = run("--account nobody");
  EXPECT_EQ(unknown.exitStatus, 2);
  EXPECT_EQ(unknown.err,
            "quorbel-status: no account 'nobody'; accounts found: default, work, zeta\n");
  EXPECT_EQ(unknown.out, "");
}

// Claude Code runs the status-line command after every message, in the session's environment.
TEST_F(AccountsStatus, StatusLineShowsItsSessionsAccountWhateverArrivesOnItsInput) {
  const Instant now = systemClock().now();
  // Half a minute's slack keeps the countdown at "2h 0m" while the test runs.
  const Instant sessionReset = now + 2h + 30s;
  const Instant weeklyReset = now + 50h;
  SnapshotStore(file("default")).save(testing::usageAt(now, 41, 14, sessionReset, weeklyReset));
  SnapshotStore(file("work")).save(testing::usageAt(now, 88, 20, sessionReset, weeklyReset));
  recordConfigFolder(file("work"), home_ / "cc-work");
  const auto epoch = [](Instant instant) {
    return std::to_string(instant.time_since_epoch() / 1s);
  };
  testing::writeFile(home_ / "session.json",
                     R"({"model": {"display_name": "Opus"}, "context_window":
      {"used_percentage": 8}, "rate_limits": {"five_hour": {"used_percentage": 23.5,
      "resets_at": )" + epoch(sessionReset) +
                         "}}}");
  // Larger than the bound: not the session's document, whatever its start says.
  testing::writeFile(home_ / "large.json", R"({"model": {"display_name": "Big"}, "pad": ")" +
                                               std::string(1024 * 1024, 'x') + "\"}");
  struct Case {
    std::string environment;
    std::string input;
    std::string line;
  } cases[] = {
      {"NO_COLOR=1", "< session.json",
       "Opus \u00b7 5h 24% (2h 0m) \u00b7 7d 14% \u00b7 ctx 8% \u00b7 work 5h 88%"},
      {"NO_COLOR=1 CLAUDE_CONFIG_DIR=" + (home_ / "cc-work/").string(), "< /dev/null",
       "5h 88% (2h 0m) \u00b7 7d 20%"},
      {"NO_COLOR=1", "< large.json", "5h 41% (2h 0m) \u00b7 7d 14% \u00b7 work 5h 88%"},
      // A writer that neither finishes nor closes: what came within the bound is read.
      {"NO_COLOR=1", "< <(cat session.json; sleep 3)",
       "Opus \u00b7 5h 24% (2h 0m) \u00b7 7d 14% \u00b7 ctx 8% \u00b7 work 5h 88%"},
      {"NO_COLOR=1 TERM=xterm", "--color always < /dev/null",
       "\x1b[32m5h 41%\x1b[0m \x1b[2m(2h 0m)\x1b[0m \u00b7 \x1b[32m7d 14%\x1b[0m \u00b7 "
       "\x1b[33mwork 5h 88%\x1b[0m"},
      {"TERM=dumb COLUMNS=20", "< /dev/null", "5h 41% \u00b7 7d 14%"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.environment + " " + c.input);
    const auto started = std::chrono::steady_clock::now();
    const auto result = testing::runCommand(
        "cd '" + home_.path().string() +
            "' && exec bash -c \"env -i HOME=$PWD XDG_DATA_HOME=$PWD/share " + c.environment + " " +
            QUORBEL_STATUS_BINARY + " --format statusline " + c.input + "\"",
        home_);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, c.line + "\n");
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(AccountsStatus, DashboardRefusesAnythingButATerminalInOneLine) {
  SnapshotStore(file("default")).save(fetchedNow(41, 14));
  const auto result = run("--dashboard < /dev/null");
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "quorbel-status: --dashboard needs a terminal on standard input and output\n");
}

TEST_F(AccountsStatus, WatchFollowsAnAccountWhoseFolderAppearsLater) {
  SnapshotStore(file("default")).save(fetchedNow(41, 14));
  // Already there, as after a first account: only an entry made inside it tells of the next.
  std::filesystem::create_directories(data() / "accounts");
  ChildProcess watch(
      QUORBEL_STATUS_BINARY,
      {"HOME=" + home_.path().string(), "XDG_DATA_HOME=" + (home_ / "share").string()},
      {.arguments = {"--watch"}});
  const auto printed = [&](const std::string &line) { return watch.waitForOutput(line); };
  ASSERT_TRUE(printed("5h 41% \u00b7 7d 14%\n")) << watch.standardOutput();
  // Once this shows, the watch has settled and waits for what comes next.
  SnapshotStore(file("default")).save(fetchedNow(42, 14));
  ASSERT_TRUE(printed("5h 42% \u00b7 7d 14%\n")) << watch.standardOutput();
  // The helper makes the folder (for its lock) before its first file.
  std::filesystem::create_directories(file("work").parent_path());
  ASSERT_TRUE(printed("default 5h 42% \u00b7 7d 14% | work ?\n")) << watch.standardOutput();
  SnapshotStore(file("work")).save(fetchedNow(88, 20));
  EXPECT_TRUE(printed("default 5h 42% \u00b7 7d 14% | work 5h 88% \u00b7 7d 20%\n"))
      << watch.standardOutput();
  EXPECT_EQ(watch.endWith(SIGTERM), 0);
}

// The textfile-collector pattern: the one-shot and the watch replace the .prom file whole, readable
// by the collector's user, never leave a "*.prom" half written, and keep the last file while there
// is no snapshot; a file that cannot be written is an error, not a silent success.
TEST(MetricsOutput, KeepsTheCollectorsFileWholeCurrentAndReadable) {
  testing::ScopedTempDir home;
  const auto file = home / kSnapshotInHome;
  const auto folder = home / "textfile";
  const auto prom = folder / "quorbel.prom";
  const std::string unwritable = (home / "no-such-folder/quorbel.prom").string();
  std::filesystem::create_directory(folder);
  const auto run = [&](const std::string &arguments) {
    return testing::runCommand("env -i HOME='" + home.path().string() + "' " +
                                   QUORBEL_STATUS_BINARY + " --format prometheus " + arguments,
                               home);
  };

  auto result = run("--output '" + prom.string() + "'");
  EXPECT_EQ(result.exitStatus, 3); // no snapshot yet: nothing to write
  EXPECT_FALSE(std::filesystem::exists(prom));

  SnapshotStore(file).save(fetchedNow(41));
  result = run("--output '" + prom.string() + "'");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out + result.err, "");
  EXPECT_NE(testing::readFile(prom).find("quorbel_usage_ratio{account=\"default\",window=\"five_"
                                         "hour\"} 0.41\n"),
            std::string::npos);
  EXPECT_EQ(std::filesystem::status(prom).permissions(), std::filesystem::perms(0644));
  EXPECT_EQ(run("").out, testing::readFile(prom)); // the exposition promtool checks elsewhere

  result = run("--output '" + unwritable + "'");
  EXPECT_EQ(result.exitStatus, 5);
  EXPECT_TRUE(result.err.starts_with("quorbel-status: cannot write " + unwritable)) << result.err;

  std::filesystem::remove(prom);
  ChildProcess child(
      QUORBEL_STATUS_BINARY, {"HOME=" + home.path().string()},
      {.arguments = {"--watch", "--format", "prometheus", "--output", prom.string()}});
  // Each percent and the ratio the file then shows; at 0 the snapshot goes, and the file keeps
  // the last numbers.
  const std::pair<std::int64_t, std::string> steps[] = {
      {41, "0.41"}, {60, "0.6"}, {0, "0.6"}, {7, "0.07"}};
  for (const auto &[percent, ratio] : steps) {
    SCOPED_TRACE(percent);
    percent == 0 ? (void)std::filesystem::remove(file)
                 : SnapshotStore(file).save(fetchedNow(percent));
    const std::string expected = "window=\"five_hour\"} " + ratio + "\n";
    EXPECT_TRUE(child.waitFor(
        [&, gone = percent == 0] {
          for (const std::string &name : testing::entriesOf(folder)) {
            EXPECT_TRUE(name == "quorbel.prom" || !name.ends_with(".prom")) << name;
          }
          return gone ? child.standardError().find("no snapshot at") != std::string::npos
                      : testing::readFile(prom).find(expected) != std::string::npos;
        },
        5s));
    EXPECT_NE(testing::readFile(prom).find(expected), std::string::npos);
  }
  // An account whose helper starts later joins the same file under its own name.
  SnapshotStore(file.parent_path() / "accounts/work/plan-snapshot.json").save(fetchedNow(90));
  const auto labelled = [](const std::string &text, const std::string &account) {
    return text.find("{account=\"" + account + "\",window=\"five_hour\"} ") != std::string::npos;
  };
  EXPECT_TRUE(child.waitFor([&] { return labelled(testing::readFile(prom), "work"); }, 5s));
  EXPECT_TRUE(labelled(testing::readFile(prom), "default"));
  const std::string work = run("--account work").out;
  EXPECT_TRUE(labelled(work, "work") && !labelled(work, "default")) << work;
  EXPECT_EQ(child.endWith(SIGTERM), 0);
  EXPECT_EQ(child.standardOutput(), "");
  EXPECT_EQ(testing::entriesOf(folder), std::set<std::string>{"quorbel.prom"});

  // A watch that cannot write its file says so and ends, for its unit to restart it.
  ChildProcess lost(QUORBEL_STATUS_BINARY, {"HOME=" + home.path().string()},
                    {.arguments = {"--watch", "--format", "prometheus", "--output", unwritable}});
  EXPECT_EQ(lost.waitForExit(5s), 1);
  EXPECT_TRUE(lost.standardError().starts_with("quorbel-status: cannot write "))
      << lost.standardError();
}

// What --output writes through or refuses, before anything is written: a link keeps pointing at
// the file that now holds the metrics; whatever is not a regular file stays as it was. A pipe on
// standard output is what /dev/stdout leads to from a bar or a shell.
TEST(MetricsOutput, WritesThroughLinksAndRefusesWhatIsNoRegularFile) {
  testing::ScopedTempDir home;
  SnapshotStore(home / kSnapshotInHome).save(fetchedNow(41));
  const auto folder = home / "textfile";
  std::filesystem::create_directories(folder / "real");
  testing::writeFile(folder / "real/q.prom", "");
  std::filesystem::create_symlink("real/q.prom", folder / "link.prom");
  ::mkfifo((folder / "fifo.prom").c_str(), 0644);
  ::mknod((folder / "null.prom").c_str(), S_IFCHR | 0644, makedev(1, 3)); // as root only
  std::filesystem::create_directory(folder / "dir.prom");
  std::filesystem::create_symlink("/proc/self/fd/1", folder / "stdout.prom"); // as /dev/stdout
  const struct {
    std::string name;
    std::string kind; // in the refusal; empty: written
    std::filesystem::path written;
  } cases[] = {
      {"link.prom", "", folder / "real/q.prom"},
      {"fifo.prom", "a FIFO", {}},
      {"null.prom", "a device", {}},
      {"dir.prom", "a directory", {}},
      {"stdout.prom", "a FIFO", {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = folder / c.name;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path))) {
      continue; // a device node, which only root may make
    }
    const auto type = std::filesystem::symlink_status(path).type();
    const auto entries = testing::entriesOf(folder);
    ChildProcess child(QUORBEL_STATUS_BINARY, {"HOME=" + home.path().string()},
                       {.arguments = {"--format", "prometheus", "--output", path.string()}});
    EXPECT_EQ(child.waitForExit(5s), c.kind.empty() ? 0 : 2);
    EXPECT_EQ(std::filesystem::symlink_status(path).type(), type);
    EXPECT_EQ(testing::entriesOf(folder), entries);
    if (c.kind.empty()) {
      EXPECT_EQ(child.standardError(), "");
      EXPECT_NE(testing::readFile(c.written).find("quorbel_usage_ratio"), std::string::npos);
      EXPECT_EQ(std::filesystem::status(c.written).permissions(), std::filesystem::perms(0644));
    } else {
      EXPECT_EQ(child.standardError(), "quorbel-status: cannot write " + path.string() +
                                           ": it is " + c.kind +
                                           ", not a regular file; leave out --output to print\n");
    }
  }
}

// A stop while the file and its folder are on their way to the disk waits for them, and a start
// sweeps the temporaries of a writer killed long ago (a fresh one may be another writer's, under
// way).
TEST(MetricsOutput, AStopLeavesNoTemporaryAndAStartSweepsOldOnes) {
  testing::ScopedTempDir home;
  SnapshotStore(home / kSnapshotInHome).save(fetchedNow(41));
  const auto prom = home / "q.prom";
  const auto old = home / ".q.prom.tmp-1-aaaaaaaaaa";
  const auto fresh = home / ".q.prom.tmp-2-bbbbbbbbbb";
  testing::writeFile(old, "half");
  testing::writeFile(fresh, "half");
  std::filesystem::last_write_time(old, std::filesystem::file_time_type::clock::now() - 6min);
  const auto log = home / "sync.log";
  for (const char *mode : {"--show=used", "--watch"}) { // once, then watching
    SCOPED_TRACE(mode);
    std::filesystem::remove(prom);
    ChildProcess child(QUORBEL_STATUS_BINARY,
                       {"HOME=" + home.path().string(), "LD_PRELOAD=" QUORBEL_FILE_SYNC_SHIM,
                        "QUORBEL_SHIM_LOG=" + log.string(), "QUORBEL_SHIM_FSYNC_PAUSE_MS=1000",
                        "ASAN_OPTIONS=verify_asan_link_order=0"},
                       {.arguments = {"--format", "prometheus", "--output", prom.string(), mode}});
    ASSERT_TRUE(child.waitFor(
        [&] {
          return testing::readFile(log).find("fsync " + (home / ".q.prom.tmp-").string()) !=
                 std::string::npos;
        },
        5s));
    child.sendSignal(SIGTERM);
    EXPECT_TRUE(child.waitForExit(5s) || child.exited()); // the one-shot ends by the signal
    EXPECT_NE(testing::readFile(prom).find("quorbel_usage_ratio"), std::string::npos);
    // The rename is made durable too, before the held signal ends the program.
    const std::string synced = testing::readFile(log);
    EXPECT_NE(synced.find("\nfsync " + home.path().string() + "\n"), std::string::npos) << synced;
    EXPECT_EQ(testing::entriesOf(home.path()),
              (std::set<std::string>{".local", "q.prom", fresh.filename().string(), "sync.log"}));
    std::filesystem::remove(log);
  }
}

// Stands in for the desktop's notification service and records each call as its summary and
// urgency. Only a call as the notifier means to make it counts: no actions, the urgency as the only
// hint, the server's default time-out, the program's name.
int onNotify(sd_bus_message *message, void *calls, sd_bus_error *) {
  const char *appName = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
  const char *hint = nullptr;
  std::uint32_t replacesId = 0;
  std::uint8_t urgency = 0;
  std::int32_t timeout = 0;
  const int read = sd_bus_message_read(message, "susssasa{sv}i", &appName, &replacesId, &icon,
                                       &summary, &body, 0, 1, &hint, "y", &urgency, &timeout);
  if (read < 0 || std::string_view(hint) != "urgency" || timeout != -1 ||
      std::string_view(appName) != "QuorbelHelper" || std::string_view(body).empty()) {
    return read < 0 ? read : -EINVAL;
  }
  static_cast<std::vector<std::string> *>(calls)->push_back(std::string(summary) + " " +
                                                            std::to_string(urgency));
  return sd_bus_reply_method_return(message, "u", std::uint32_t(1));
}

// The desktop may come after the notifier: it says once per cause why it cannot notify yet, and
// notifies once the session bus and the service are there.
TEST(NotifyCommand, NotifiesOnTheSessionBusOnceItIsThereAndRemembersAcrossARestart) {
  testing::ScopedTempDir home;
  const std::string address = "unix:path=" + (home / "bus").string();
  const auto save = [&](std::int64_t percent) {
    SnapshotStore(home / kSnapshotInHome).save(fetchedNow(percent));
  };
  const auto start = [&](std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {"--notify", "--warn", "70"});
    return std::make_unique<ChildProcess>(
        QUORBEL_STATUS_BINARY,
        std::vector<std::string>{"HOME=" + home.path().string(),
                                 "DBUS_SESSION_BUS_ADDRESS=" + address},
        ChildProcess::Options{.arguments = std::move(arguments)});
  };
  save(75);
  auto notifier = start();
  const auto says = [&](const char *text) {
    return notifier->waitFor(
        [&] { return notifier->standardError().find(text) != std::string::npos; }, 5s);
  };
  ASSERT_TRUE(says("cannot connect to the session bus")) << notifier->standardError();

  // A bus of the test's own, where nothing is activatable: no real notification service can start.
  testing::writeFile(home / "bus.conf",
                     "<busconfig><type>session</type><listen>" + address +
                         "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
                         "send_destination=\"*\"/><allow receive_sender=\"*\"/><allow "
                         "own=\"*\"/></policy></busconfig>\n");
  ChildProcess bus("/usr/bin/dbus-daemon", {},
                   {.arguments = {"--config-file=" + (home / "bus.conf").string(), "--nofork",
                                  "--print-address"}});
  ASSERT_TRUE(bus.waitFor([&] { return !bus.standardOutput().empty(); }, 5s));
  save(76);
  ASSERT_TRUE(says("no notification service")) << notifier->standardError();

  const testing::ScopedEnvironment session("DBUS_SESSION_BUS_ADDRESS", address.c_str());
  sd_bus *service = nullptr;
  ASSERT_GE(sd_bus_open_user(&service), 0);
  const std::unique_ptr<sd_bus, sd_bus *(*)(sd_bus *)> owner(service, sd_bus_flush_close_unref);
  std::vector<std::string> calls;
  ASSERT_GE(sd_bus_add_object(service, nullptr, "/org/freedesktop/Notifications", onNotify, &calls),
            0);
  ASSERT_GE(sd_bus_request_name(service, "org.freedesktop.Notifications", 0), 0);
  // Serves one call at a time until `count` have come.
  const auto served = [&](std::size_t count) {
    return testing::eventually(
        [&] { return sd_bus_process(service, nullptr) == 0 && calls.size() >= count; });
  };
  save(77);
  ASSERT_TRUE(served(1)) << notifier->standardError();
  EXPECT_EQ(notifier->endWith(SIGTERM), 0);
  EXPECT_EQ(notifier->standardOutput(), "");
  EXPECT_EQ(testing::linesOf(notifier->standardError()).size(), 2u) << notifier->standardError();

  // Restarted on the same snapshot it tells nothing: once it has read the file, the next call is
  // the one a change calls for. Calls from one connection arrive in order.
  const UniqueFd reads(::inotify_init1(IN_CLOEXEC));
  ASSERT_GE(::inotify_add_watch(reads.get(), (home / kSnapshotInHome).c_str(), IN_CLOSE_NOWRITE),
            0);
  notifier = start();
  alignas(inotify_event) char event[sizeof(inotify_event) + NAME_MAX + 1];
  ASSERT_GT(testing::finishesWithin("the first look",
                                    [&] { return ::read(reads.get(), event, sizeof event); }),
            0);
  save(96);
  ASSERT_TRUE(served(2)) << notifier->standardError();
  EXPECT_EQ(calls, (std::vector<std::string>{"Claude 5-hour window at 77% 1",
                                             "Claude 5-hour window at 96% 2"}));
  EXPECT_EQ(notifier->endWith(SIGINT), 0);

  // Only the state file kept it quiet: without it the same snapshot is told again.
  ASSERT_TRUE(std::filesystem::remove(home / ".local/state/QuorbelHelper/notify-state.json"));
  notifier = start();
  ASSERT_TRUE(served(3)) << notifier->standardError();
  EXPECT_EQ(calls.back(), "Claude 5-hour window at 96% 2");
  EXPECT_EQ(notifier->endWith(SIGTERM), 0);

  // Each account remembers on its own however it is chosen: what the default account was told
  // never silences `work`, and what `work` was told alone is not told again beside the default.
  const auto work = home / ".local/share/QuorbelHelper/accounts/work/plan-snapshot.json";
  SnapshotStore(work).save(fetchedNow(86));
  notifier = start({"--account", "work"});
  ASSERT_TRUE(served(4)) << notifier->standardError();
  EXPECT_EQ(calls.back(), "Claude 5-hour window at 86% 1");
  EXPECT_EQ(notifier->endWith(SIGTERM), 0);
  notifier = start();
  SnapshotStore(work).save(fetchedNow(97));
  ASSERT_TRUE(served(5)) << notifier->standardError();
  EXPECT_EQ(calls.back(), "work: Claude 5-hour window at 97% 2");
  EXPECT_EQ(notifier->endWith(SIGTERM), 0);
}

} // namespace
} // namespace quorbel
