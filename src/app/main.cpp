#include "runtime/helper_runtime.hpp"
#include "runtime/log_sink.hpp"
#include "selfcheck/dry_test_run.hpp"
#include "source/claude_code_version.hpp"
#include "source/credentials_file_linux.hpp"
#include "source/http_session.hpp"
#include "source/live_plan_usage_provider.hpp"
#include "store/snapshot_location.hpp"
#include "store/snapshot_store.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <pthread.h>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

namespace {

using namespace quorbel;

constexpr std::string_view kHelperVersion = "0.1.0";
constexpr std::string_view kSelfCheckVariable = "QUORBEL_HELPER_DRYTEST";
constexpr double kRefreshInterval = 180;
constexpr double kExpiryMargin = 60;

bool selfCheckRequested() {
  // Exactly "1": no trimming, no case folding, no numeric reading.
  const char *value = std::getenv(std::string(kSelfCheckVariable).c_str());
  return value != nullptr && std::string_view(value) == "1";
}

void printLine(const std::string &text) { stdoutLogSink().writeLine(text + "\n"); }

// Blocks SIGTERM and SIGINT in the calling thread, which every later thread inherits, and turns
// the first of them into a stop request from one dedicated thread. Must run before any thread
// starts, or a signal could land on a thread that has them unblocked and kill the process.
std::stop_token stopOnTerminationSignal(std::stop_source source) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // Detached: it holds only its own handle on the stop state, and the process may end while it
  // still waits.
  std::thread([signals, source]() mutable {
    int received = 0;
    if (sigwait(&signals, &received) == 0) {
      source.request_stop();
    }
  }).detach();
  return source.get_token();
}

std::string probeUserAgentVersion() {
  if (const auto output = ClaudeCodeVersion::runClaudeVersion()) {
    if (auto version = ClaudeCodeVersion::parseVersion(*output)) {
      return *version;
    }
  }
  return std::string(kFallbackClaudeCodeVersion);
}

int runLiveHelper() {
  const std::optional<std::filesystem::path> snapshotPath = SnapshotStore::defaultFileURL();
  if (!snapshotPath) {
    std::fprintf(stderr, "QuorbelHelper: %s\n", std::string(kNoHomeMessage).c_str());
    return EXIT_FAILURE;
  }
  const std::stop_token stop = stopOnTerminationSignal(std::stop_source());

  printLine("QuorbelHelper " + std::string(kHelperVersion) + " starting refresh cycle");
  const std::string userAgentVersion = probeUserAgentVersion();
  printLine("User-Agent: claude-code/" + userAgentVersion);

  auto provider = std::make_shared<LivePlanUsageProvider>(
      std::make_shared<CredentialsFile>(CredentialsFile::atDefaultLocation()), sharedHttpSession(),
      userAgentVersion, kExpiryMargin);
  auto store = std::make_shared<SnapshotStore>(*snapshotPath);
  printLine("Snapshot path: " + store->fileURL().string());

  HelperRuntime runtime(provider, store, kRefreshInterval);
  runtime.run(stop);
  return EXIT_SUCCESS;
}

} // namespace

int main() {
  // Lines written through stdio reach a pipe or the journal as they are written, in order with
  // the runtime's own lines.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  // Before any thread exists; the self-check's live client needs it as much as the helper does.
  initHttpGlobal();
  if (selfCheckRequested()) {
    return runDryTests() ? EXIT_SUCCESS : EXIT_FAILURE;
  }
  return runLiveHelper();
}
