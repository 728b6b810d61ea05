// Measures what one refresh tick of the helper costs, as the helper runs it: the live provider's
// fetch, the snapshot written and the history sample appended, through the helper's own refresh
// cycle, against a TLS server on the loopback interface that answers like the usage endpoint.
// Prints the CPU per tick and the private dirty memory (what this process alone has written,
// from /proc/self/smaps_rollup) after 10, 100 and 1,000 ticks, which should stay flat.
// Every tick makes a new connection, as a poll every 180 s does once libcurl has dropped the idle
// connection. It runs twice: against a server that refuses session resumption, so each tick makes
// a full handshake, and against one that issues session tickets, so each tick after the first
// resumes the last session and skips the certificate chain; both figures are printed side by
// side. The server is `openssl s_server` in a process of its own, so this process links and loads
// what the helper does, and nothing of the server counts in its figures. The files live in a
// fresh folder under /tmp.
//
// Usage: quorbel_tick_bench [ticks] [--default-curl] [--without-history] [--resumed-only]
//   (default 1000 ticks)
//   --default-curl     also measures a reused libcurl handle left at its defaults, for comparison.
//   --without-history  leaves the sample out, to tell its share of a tick on a busy machine.
//   --resumed-only     skips the full-handshake run, so that a profiler sees the resumed ticks
//   alone.

#include "history/history_store.hpp"
#include "http/curl_http_session_linux.hpp"
#include "runtime/helper_runtime.hpp"
#include "source/claude_code_version.hpp"
#include "source/credentials_file_linux.hpp"
#include "source/live_plan_usage_provider.hpp"
#include "store/snapshot_store.hpp"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace quorbel;

namespace {

constexpr const char *kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr const char *kUsageBody =
    R"({"five_hour":{"utilization":7.0,"resets_at":"2026-06-29T17:59:59.943648+00:00"},)"
    R"("seven_day":{"utilization":33.0,"resets_at":"2026-07-03T08:59:59.943668+00:00"},)"
    R"("seven_day_opus":null})";

struct CpuTime {
  double user;
  double system;
};

CpuTime cpuTime() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
  return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

// Current resident size, from the kernel's own accounting.
double residentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::atof(line.c_str() + 6) / 1024.0;
    }
  }
  return 0;
}

// What this process alone has dirtied: heap, stacks, written data; shared pages left out.
double privateDirtyMiB() {
  std::ifstream rollup("/proc/self/smaps_rollup");
  std::string line;
  while (std::getline(rollup, line)) {
    if (line.rfind("Private_Dirty:", 0) == 0) {
      return std::atof(line.c_str() + 14) / 1024.0;
    }
  }
  return 0;
}

double peakResidentMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

void run(const std::string &command) {
  if (std::system(command.c_str()) != 0) {
    std::cerr << "failed: " << command << "\n";
    std::exit(1);
  }
}

int freeLoopbackPort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(probe, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
      getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    std::perror("bind");
    std::exit(1);
  }
  close(probe);
  return ntohs(address.sin_port);
}

bool accepting(int port) {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool connected =
      connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  close(probe);
  return connected;
}

// `-WWW` serves files under the working directory, so the usage body is a file at the usage path.
// Offering resumption is s_server's default: a session cache and TLS 1.3 tickets.
pid_t startServer(const fs::path &dir, int port, bool offerResumption) {
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) {
      _exit(127);
    }
    const std::string accept = "127.0.0.1:" + std::to_string(port);
    if (offerResumption) {
      execlp("openssl", "openssl", "s_server", "-quiet", "-WWW", "-accept", accept.c_str(), "-cert",
             "cert.pem", "-key", "key.pem", static_cast<char *>(nullptr));
    } else {
      execlp("openssl", "openssl", "s_server", "-quiet", "-WWW", "-accept", accept.c_str(), "-cert",
             "cert.pem", "-key", "key.pem", "-no_ticket", "-num_tickets", "0", "-no_cache",
             static_cast<char *>(nullptr));
    }
    _exit(127);
  }
  // Probing consumes one accept; s_server serves one connection at a time and moves on.
  for (int attempt = 0; attempt < 500 && !accepting(port); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return child;
}

double processCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// CPU spent in each step of the tick, so the rest is the runtime's own bookkeeping and its log.
struct Phases {
  double fetchMs = 0;
  double saveMs = 0;
  double historyMs = 0;
};

template <typename Step> auto timed(double &total, Step step) {
  struct Add {
    double &total;
    double start = processCpuMs();
    ~Add() { total += processCpuMs() - start; }
  } add{total};
  return step();
}

class TimedProvider final : public PlanUsageProvider {
public:
  TimedProvider(std::shared_ptr<PlanUsageProvider> inner, Phases &phases)
      : inner_(std::move(inner)), phases_(phases) {}
  PlanSnapshot fetch() override {
    return timed(phases_.fetchMs, [&] { return inner_->fetch(); });
  }
  double minimumInterval() const override { return inner_->minimumInterval(); }

private:
  std::shared_ptr<PlanUsageProvider> inner_;
  Phases &phases_;
};

class TimedStore final : public SnapshotPersisting {
public:
  TimedStore(std::shared_ptr<SnapshotPersisting> inner, Phases &phases)
      : inner_(std::move(inner)), phases_(phases) {}
  void save(const PlanSnapshot &snapshot) override {
    timed(phases_.saveMs, [&] { inner_->save(snapshot); });
  }
  std::optional<PlanSnapshot> load() const override { return inner_->load(); }

private:
  std::shared_ptr<SnapshotPersisting> inner_;
  Phases &phases_;
};

class TimedHistory final : public HistoryRecording {
public:
  TimedHistory(std::shared_ptr<HistoryRecording> inner, Phases &phases)
      : inner_(std::move(inner)), phases_(phases) {}
  std::optional<std::string> record(const PlanSnapshot &snapshot) override {
    return timed(phases_.historyMs, [&] { return inner_->record(snapshot); });
  }

private:
  std::shared_ptr<HistoryRecording> inner_;
  Phases &phases_;
};

struct Figures {
  double firstTickMs;
  double cpuPerTickMs;
  double systemPerTickMs; // the kernel's part of cpuPerTickMs: sockets, files, fsync
  double wallPerTickMs;
  Phases perTick; // filled in by measureTicks
};

// `tick` runs once to warm up, then `ticks` times; `after(n)` runs after the n-th tick counted
// from 1, the warm-up included.
Figures measure(
    int ticks, const std::function<void()> &tick,
    const std::function<void(int)> &after = [](int) {}) {
  const CpuTime coldStart = cpuTime();
  tick(); // loads the trust store and warms the caches
  after(1);
  const CpuTime coldEnd = cpuTime();
  const auto wallStart = std::chrono::steady_clock::now();
  for (int i = 0; i < ticks; ++i) {
    tick();
    after(i + 2);
  }
  const CpuTime end = cpuTime();
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  const double first = coldEnd.user + coldEnd.system - coldStart.user - coldStart.system;
  const double cpu = end.user + end.system - coldEnd.user - coldEnd.system;
  return Figures{first * 1e3,
                 cpu / ticks * 1e3,
                 (end.system - coldEnd.system) / ticks * 1e3,
                 wall / ticks * 1e3,
                 {}};
}

void print(const char *label, int ticks, const Figures &figures) {
  std::printf("%-28s ticks=%d first=%.2f ms CPU  steady=%.3f ms CPU/tick (%.3f system)  "
              "wall=%.3f ms/tick\n",
              label, ticks, figures.firstTickMs, figures.cpuPerTickMs, figures.systemPerTickMs,
              figures.wallPerTickMs);
  std::printf("%-28s fetch=%.3f  snapshot=%.3f  history=%.3f  rest=%.3f ms CPU/tick\n", "",
              figures.perTick.fetchMs, figures.perTick.saveMs, figures.perTick.historyMs,
              figures.cpuPerTickMs - figures.perTick.fetchMs - figures.perTick.saveMs -
                  figures.perTick.historyMs);
}

// One run of `ticks` ticks through a fresh session, provider, store and history under `data`.
Figures measureTicks(const fs::path &dir, const fs::path &data, const std::string &endpoint,
                     int ticks, bool withHistory) {
  const auto session =
      CurlHttpSession::forLoopback({.allowPlainHttp = false, .trustedCaFile = dir / "bundle.pem"});
  Phases phases;
  auto provider = std::make_shared<TimedProvider>(
      std::make_shared<LivePlanUsageProvider>(
          std::make_shared<CredentialsFile>(dir / ".credentials.json"), session,
          std::string(kFallbackClaudeCodeVersion), kDefaultExpiryMargin, endpoint),
      phases);
  const auto snapshotFile = data / "plan-snapshot.json";
  auto store = std::make_shared<TimedStore>(std::make_shared<SnapshotStore>(snapshotFile), phases);
  // The helper logs a line a tick to the journal; here the line costs its write(2) and no more.
  FdLogSink quiet(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  HelperRuntime runtime(provider, store, 180, quiet, systemClock(), quiet);
  if (withHistory) {
    runtime.recordHistoryIn(std::make_shared<TimedHistory>(
        std::make_shared<HistoryStore>(historyPathBeside(snapshotFile)), phases));
  }
  Figures figures = measure(
      ticks - 1,
      [&] {
        runtime.tick();
        if (!runtime.lastResult() ||
            !std::holds_alternative<refresh::Updated>(*runtime.lastResult())) {
          std::cerr << "tick did not update the snapshot\n";
          std::exit(1);
        }
      },
      [&](int done) {
        if (done == 1) {
          phases = {}; // the warm-up's trust store load is the first tick's, not a steady one's
        }
        if (done == 10 || done == 100 || done == 1000 || done == ticks) {
          std::printf("after tick %4d: private dirty %.2f MiB, resident %.2f MiB\n", done,
                      privateDirtyMiB(), residentMiB());
        }
      });
  const auto samples = withHistory ? readHistory(historyPathBeside(snapshotFile), kEarliestInstant)
                                   : std::vector<HistorySample>(std::size_t(ticks));
  if (samples.size() != std::size_t(ticks)) {
    std::cerr << "the history holds " << samples.size() << " samples, not " << ticks << "\n";
    std::exit(1);
  }
  const double steadyTicks = ticks - 1;
  figures.perTick = {phases.fetchMs / steadyTicks, phases.saveMs / steadyTicks,
                     phases.historyMs / steadyTicks};
  return figures;
}

} // namespace

int main(int argc, char **argv) {
  const int ticks = argc > 1 ? std::max(2, std::atoi(argv[1])) : 1000;
  bool compareDefaultCurl = false;
  bool withHistory = true;
  bool resumedOnly = false;
  for (int i = 2; i < argc; ++i) {
    compareDefaultCurl = compareDefaultCurl || std::string(argv[i]) == "--default-curl";
    withHistory = withHistory && std::string(argv[i]) != "--without-history";
    resumedOnly = resumedOnly || std::string(argv[i]) == "--resumed-only";
  }

  // A freshly linked executable's pages are still dirty in the page cache, and until they are
  // written back the kernel counts them as this process's private dirty memory: about half a
  // megabyte that an installed helper does not have.
  if (const int self = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC); self >= 0) {
    ::fsync(self);
    ::close(self);
  }
  const double residentAtStart = residentMiB();
  char pattern[] = "/tmp/quorbel-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = pattern;
  run("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1"
      " -addext subjectAltName=IP:127.0.0.1 -keyout " +
      (dir / "key.pem").string() + " -out " + (dir / "cert.pem").string() + " 2>/dev/null");
  // The system bundle plus the throwaway certificate: parsing costs what the real store costs.
  run("cat " + std::string(kSystemBundle) + " " + (dir / "cert.pem").string() + " > " +
      (dir / "bundle.pem").string());
  std::ofstream(dir / ".credentials.json")
      << R"({"claudeAiOauth":{"accessToken":"bench-token","expiresAt":4102444800000,)"
      << R"("subscriptionType":"max","rateLimitTier":"default_claude_max_20x"}})";

  fs::create_directories(dir / "api" / "oauth");
  std::ofstream(dir / "api" / "oauth" / "usage") << kUsageBody;
  initHttpGlobal();

  Figures figures[2] = {};
  std::string endpoint;
  pid_t server = -1;
  for (const bool resumption : {false, true}) {
    if (resumedOnly && !resumption) {
      continue;
    }
    if (server > 0) {
      kill(server, SIGTERM);
      waitpid(server, nullptr, 0);
    }
    const int port = freeLoopbackPort();
    server = startServer(dir, port, resumption);
    endpoint = "https://127.0.0.1:" + std::to_string(port) + "/api/oauth/usage";
    // A fresh session and fresh files, so neither run inherits the other's caches.
    const auto data = dir / (resumption ? "resumed" : "full");
    figures[resumption] = measureTicks(dir, data, endpoint, ticks, withHistory);
    print(resumption ? "resumed session" : "full handshake", ticks - 1, figures[resumption]);
  }
  if (!resumedOnly) {
    std::printf("CPU per tick, full handshake vs resumed: %.3f ms vs %.3f ms (%s the sample)\n",
                figures[0].cpuPerTickMs, figures[1].cpuPerTickMs, withHistory ? "with" : "without");
  }
  std::printf("resident: %.2f MiB at start, %.2f MiB after the ticks, peak %.2f MiB\n",
              residentAtStart, residentMiB(), peakResidentMiB());

  if (compareDefaultCurl) {
    CURL *curl = curl_easy_init();
    std::string sink;
    curl_easy_setopt(curl, CURLOPT_URL, endpoint.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, (dir / "bundle.pem").c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char *data, size_t size, size_t count, void *user) {
          static_cast<std::string *>(user)->append(data, size * count);
          return size * count;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    const Figures plain = measure(ticks, [&] {
      sink.clear();
      if (curl_easy_perform(curl) != CURLE_OK) {
        std::cerr << "default-curl tick failed\n";
        std::exit(1);
      }
    });
    curl_easy_cleanup(curl);
    print("reused handle, defaults", ticks, plain);
    std::printf("peak resident size after both runs: %.2f MiB\n", peakResidentMiB());
  }

  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  fs::remove_all(dir);
  return 0;
}
