// Measures what quorbel-tray costs on a private session bus with a stand-in tray: how soon a new
// icon is announced after the snapshot is replaced (target: within 0.5 s), its unique set size
// once idle (target: at most 10 MiB), and its context switches over an idle minute (target: none;
// each wake-up is at least one).
//
// Usage: quorbel_tray_bench [idle seconds, default 60] [renames, default 50]

#include "model/clock.hpp"
#include "model/snapshot_json.hpp"

#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace quorbel;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr double kLatencyTargetMs = 500;
constexpr long kUssTargetKiB = 10 * 1024;

void publish(const fs::path &target, std::int64_t percent) {
  const Instant now = systemClock().now();
  const fs::path temporary = target.parent_path() / ".bench.tmp";
  std::ofstream(temporary, std::ios::binary)
      << encodeSnapshot(PlanSnapshot{now, PlanWindow{percent, now + std::chrono::hours(2)},
                                     PlanWindow{14, now + std::chrono::hours(50)}, std::nullopt,
                                     std::nullopt, PlanStatus::active});
  fs::rename(temporary, target);
}

pid_t spawn(const std::vector<std::string> &arguments, const std::string &busAddress) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (!busAddress.empty()) {
      ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);
    }
    std::vector<char *> argv;
    for (const std::string &argument : arguments) {
      argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return child;
}

// A field of /proc/PID/status or smaps_rollup, in the unit the kernel gives.
long procField(const std::string &file, const std::string &field) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(field + ":")) {
      return std::atol(line.c_str() + field.size() + 1);
    }
  }
  return -1;
}

int onRegister(sd_bus_message *call, void *registered, sd_bus_error *) {
  *static_cast<bool *>(registered) = true;
  return sd_bus_reply_method_return(call, "");
}

int onNewIcon(sd_bus_message *, void *count, sd_bus_error *) {
  ++*static_cast<int *>(count);
  return 0;
}

bool serveUntil(sd_bus *bus, const std::function<bool()> &done, std::chrono::seconds limit) {
  const auto end = SteadyClock::now() + limit;
  while (!done()) {
    if (SteadyClock::now() > end) {
      return false;
    }
    if (sd_bus_process(bus, nullptr) == 0) {
      sd_bus_wait(bus, 100000);
    }
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
  const int renames = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
  char pattern[] = "/tmp/quorbel-tray-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path directory = pattern;
  const std::string address = "unix:path=" + (directory / "bus").string();
  std::ofstream(directory / "bus.conf")
      << "<busconfig><type>session</type><listen>" << address
      << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
         "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n";
  const pid_t daemon = spawn(
      {"/usr/bin/dbus-daemon", "--config-file=" + (directory / "bus.conf").string(), "--nofork"},
      "");
  for (int i = 0; i < 100 && !fs::exists(directory / "bus"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_t tray = -1;
  // A failed run ends what it started, so no bus or item outlives it.
  const auto fail = [&](const char *why) {
    for (const pid_t child : {tray, daemon}) {
      if (child > 0) {
        ::kill(child, SIGTERM);
        ::waitpid(child, nullptr, 0);
      }
    }
    fs::remove_all(directory);
    std::fprintf(stderr, "%s\n", why);
    return 1;
  };
  sd_bus *bus = nullptr;
  sd_bus_new(&bus);
  sd_bus_set_address(bus, address.c_str());
  sd_bus_set_bus_client(bus, 1);
  bool registered = false;
  int icons = 0;
  if (sd_bus_start(bus) < 0 ||
      sd_bus_add_object(bus, nullptr, "/StatusNotifierWatcher", onRegister, &registered) < 0 ||
      sd_bus_request_name(bus, "org.kde.StatusNotifierWatcher", 0) < 0) {
    return fail("cannot stand in for the tray on the private bus");
  }
  const fs::path file = directory / "plan-snapshot.json";
  publish(file, 0);
  tray = spawn({QUORBEL_TRAY_BINARY, "--file", file.string()}, address);
  const std::string rule = "type='signal',member='NewIcon',path='/"
                           "StatusNotifierItem',sender='org.kde.StatusNotifierItem-" +
                           std::to_string(tray) + "-1'";
  if (!serveUntil(
          bus, [&] { return registered; }, std::chrono::seconds(5)) ||
      sd_bus_add_match(bus, nullptr, rule.c_str(), onNewIcon, &icons) < 0) {
    return fail("the tray did not register");
  }

  std::vector<double> milliseconds;
  for (int i = 1; i <= renames; ++i) {
    const int before = icons;
    const auto start = SteadyClock::now();
    publish(file, 50 + i % 50); // above the weekly window's 14 %, so each one changes the icon
    if (!serveUntil(
            bus, [&] { return icons > before; }, std::chrono::seconds(5))) {
      return fail("no new icon after a rename");
    }
    milliseconds.push_back(
        std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
  }
  std::sort(milliseconds.begin(), milliseconds.end());

  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::string status = "/proc/" + std::to_string(tray) + "/status";
  const auto switches = [&] {
    return procField(status, "voluntary_ctxt_switches") +
           procField(status, "nonvoluntary_ctxt_switches");
  };
  const long switchesBefore = switches();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const long idleSwitches = switches() - switchesBefore;
  const std::string rollup = "/proc/" + std::to_string(tray) + "/smaps_rollup";
  const long ussKiB = procField(rollup, "Private_Clean") + procField(rollup, "Private_Dirty");
  const long rssKiB = procField(rollup, "Rss");

  ::kill(tray, SIGTERM);
  int trayStatus = 0;
  ::waitpid(tray, &trayStatus, 0);
  sd_bus_flush_close_unref(bus);
  ::kill(daemon, SIGTERM);
  ::waitpid(daemon, nullptr, 0);
  fs::remove_all(directory);

  std::printf("rename to NewIcon over %d renames: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
              renames, milliseconds[milliseconds.size() / 2],
              milliseconds[std::min(milliseconds.size() - 1, milliseconds.size() * 99 / 100)],
              milliseconds.back());
  std::printf("idle for %d s: %ld context switches; USS %ld KiB (RSS %ld KiB)\n", idleSeconds,
              idleSwitches, ussKiB, rssKiB);
  std::printf("tray exit status after SIGTERM: %d\n",
              WIFEXITED(trayStatus) ? WEXITSTATUS(trayStatus) : -1);
  return milliseconds.back() < kLatencyTargetMs && ussKiB <= kUssTargetKiB && idleSwitches == 0 ? 0
                                                                                                : 1;
}
