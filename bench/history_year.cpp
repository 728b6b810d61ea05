// What a year of history costs: the helper appends a sample every 180 s while the machine is on
// (07:00 to 23:00 here), and `quorbel-status --history --since 30d` reads and draws the last
// month. Prints the file's size, the CPU of one append (retention included, as a tick runs it) and
// the time to read and chart 30 days.
//
// Usage: quorbel_history_bench [DIR]   (default: a fresh folder under /dev/shm, then removed;
//        with DIR the history is left there as DIR/history.sqlite3)

#include "chart/history_formats.hpp"
#include "history/history_store.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;
using namespace quorbel;
using namespace std::chrono;

namespace {

// The simulated year's clock: each append happens at its sample's time.
class SimulatedClock final : public Clock {
public:
  Instant now() const override { return at; }
  Instant at;
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv) {
  const bool keep = argc > 1;
  const fs::path dir = keep ? fs::path(argv[1]) : fs::path("/dev/shm/quorbel-history-bench");
  fs::create_directories(dir);
  const fs::path file = historyPathBeside(dir / "plan-snapshot.json");
  fs::remove(file);
  const Instant end = time_point_cast<milliseconds>(system_clock::now());
  const Instant start = end - hours{24 * 365};
  std::mt19937 random(7);
  std::uniform_real_distribution<double> use(0.0, 1.2);
  SimulatedClock clock;
  HistoryStore store(file, clock);
  double session = 0;
  double weekly = 0;
  double opus = 0;
  Instant sessionReset = start;
  Instant weeklyReset = start + hours{24 * 7};
  long appended = 0;
  double appendCpu = 0;
  long measured = 0;
  for (Instant at = start; at < end; at += seconds{180}) {
    const auto hourOfDay = duration_cast<hours>(at.time_since_epoch()).count() % 24;
    if (hourOfDay < 7 || hourOfDay >= 23) {
      continue;
    }
    if (at >= sessionReset) {
      session = 0;
      sessionReset = at + hours{5};
    }
    if (at >= weeklyReset) {
      weekly = 0;
      opus = 0;
      weeklyReset += hours{24 * 7};
    }
    session = std::min(100.0, session + use(random));
    weekly = std::min(100.0, weekly + use(random) / 12);
    opus = std::min(100.0, opus + use(random) / 20);
    PlanSnapshot snapshot;
    snapshot.fetchedAt = at;
    snapshot.session = PlanWindow{std::int64_t(session), sessionReset};
    snapshot.allModels = PlanWindow{std::int64_t(weekly), weeklyReset};
    snapshot.modelWindows = {{"Opus", std::int64_t(opus), weeklyReset}};
    snapshot.status = PlanStatus::active;
    clock.at = at;
    const bool timed = end - at < hours{24 * 7};
    const double before = timed ? cpuSeconds() : 0;
    store.record(snapshot);
    if (timed) {
      appendCpu += cpuSeconds() - before;
      ++measured;
    }
    ++appended;
  }
  store.applyRetention(end);
  std::printf("simulated year: %ld samples appended, file %.2f MB\n", appended,
              double(fs::file_size(file)) / 1e6);
  std::printf("append (last week, retention included): %.3f ms CPU each over %ld\n",
              appendCpu * 1000 / double(measured), measured);
  const auto before = steady_clock::now();
  const double cpuBefore = cpuSeconds();
  HistoryFrame frame;
  frame.to = end;
  frame.from = end - hours{24 * 30};
  frame.sinceText = "30d";
  const auto samples = readHistory(file, frame.from);
  const std::string chart = formatHistoryChart(samples, frame);
  const double elapsed = duration<double, std::milli>(steady_clock::now() - before).count();
  const double cpu = (cpuSeconds() - cpuBefore) * 1000;
  std::printf("--since 30d: %zu samples read and charted in %.1f ms, %.1f ms CPU (%zu bytes of "
              "chart)\n",
              samples.size(), elapsed, cpu, chart.size());
  if (!keep) {
    fs::remove_all(dir);
  }
  return EXIT_SUCCESS;
}
