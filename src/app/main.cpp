#include "history/history_store.hpp"
#include "http/http_session.hpp"
#include "model/helper_version.hpp"
#include "platform/atomic_file.hpp"
#include "platform/environment.hpp"
#include "platform/home_directory.hpp"
#include "platform/instance_lock_linux.hpp"
#include "platform/tick_timer_linux.hpp"
#include "runtime/helper_runtime.hpp"
#include "runtime/log_sink.hpp"
#include "selfcheck/dry_test_run.hpp"
#include "service/service_status_poller.hpp"
#include "source/claude_code_version.hpp"
#include "source/credentials_file_linux.hpp"
#include "source/live_plan_usage_provider.hpp"
#include "store/account_location.hpp"
#include "store/config_folder_record.hpp"
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
#include <unistd.h>
#include <variant>

namespace {

using namespace quorbel;

constexpr const char *kSelfCheckVariable = "QUORBEL_HELPER_DRYTEST";
constexpr double kRefreshInterval = 180;
constexpr double kExpiryMargin = 60;
constexpr int kExitUsage = 2;

constexpr const char *kUsage =
    "Usage: QuorbelHelper [--account NAME [--config-dir DIR]] [--no-service-status]\n"
    "       QuorbelHelper --help | --version\n"
    "\n"
    "Keeps Claude Code plan usage in plan-snapshot.json, fetched every 180 seconds, until SIGTERM\n"
    "or SIGINT. With QUORBEL_HELPER_DRYTEST=1 it runs its built-in self-check instead.\n"
    "  --account     keep the usage of account NAME, in accounts/NAME/plan-snapshot.json\n"
    "  --config-dir  the account's Claude Code folder (default: $CLAUDE_CONFIG_DIR when set,\n"
    "                else ~/.claude-NAME)\n"
    "  --no-service-status\n"
    "                never ask the service's status page (by default one helper on the machine\n"
    "                asks it every 5 minutes, into service-status.json beside plan-snapshot.json)\n"
    "  --help        print this help and exit\n"
    "  --version     print the version and exit\n";

// Which account this helper keeps (no name is the default account of the plain helper), and
// whether it looks at the service's status page.
struct HelperChoice {
  std::optional<std::string> name;
  std::optional<std::string> configDir;
  bool serviceStatus = true;
};

int usageError(const std::string &message) {
  std::fprintf(stderr, "QuorbelHelper: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

// Answers --help and --version before anything starts, and reads the account. Returns the exit
// status when the arguments end the process here.
std::optional<int> readArguments(int argc, char **argv, HelperChoice &account) {
  bool help = false;
  bool version = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help") {
      help = true;
    } else if (argument == "--version") {
      version = true;
    } else if (argument == "--no-service-status") {
      account.serviceStatus = false;
    } else if (argument == "--account" || argument == "--config-dir") {
      if (i + 1 == argc) {
        return usageError(std::string(argument) + " needs a value");
      }
      (argument == "--account" ? account.name : account.configDir) = argv[++i];
    } else {
      return usageError(std::string("bad argument '") + argv[i] + "'");
    }
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return EXIT_SUCCESS;
  }
  if (version) {
    std::printf("QuorbelHelper %s\n", std::string(kHelperVersion).c_str());
    return EXIT_SUCCESS;
  }
  // Checked before anything is written: the name becomes a folder under the data directory.
  if (account.name && !isValidAccountName(*account.name)) {
    std::fprintf(stderr, "QuorbelHelper: bad account name '%s': %s\n", account.name->c_str(),
                 std::string(kAccountNameRule).c_str());
    return kExitUsage;
  }
  // Readers call the plain helper's file "default"; a second account by that name would hide it.
  if (account.name == kDefaultAccountName) {
    std::fprintf(stderr,
                 "QuorbelHelper: 'default' is the account of the helper run without --account; "
                 "run it without --account\n");
    return kExitUsage;
  }
  if (account.configDir && !account.name) {
    return usageError("--config-dir goes with --account");
  }
  if (account.configDir && account.configDir->empty()) {
    return usageError("--config-dir needs a folder");
  }
  return std::nullopt;
}

bool selfCheckRequested() {
  // Exactly "1": no trimming, no case folding, no numeric reading.
  return environmentValue(kSelfCheckVariable) == "1";
}

void printLine(const std::string &text) { stdoutLogSink().writeLine(text + "\n"); }

// Blocks SIGTERM and SIGINT in the calling thread, which every later thread inherits, and turns
// the first of them into a stop request from one dedicated thread; a second one ends the process
// at once. Must run before any thread starts, or a signal could land on a thread that has them
// unblocked and kill the process.
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
    while (sigwait(&signals, &received) != 0) {
    }
    source.request_stop();
    // Whoever asks twice does not want to wait for the stop, whatever it is stuck on. Every line
    // is written whole by write(2), so nothing is left in a buffer.
    while (sigwait(&signals, &received) != 0) {
    }
    ::_exit(EXIT_SUCCESS);
  }).detach();
  return source.get_token();
}

std::string probeUserAgentVersion(std::stop_token stop) {
  return ClaudeCodeVersion::runClaudeVersion(kClaudeVersionTimeLimit, stop)
      .value_or(std::string(kFallbackClaudeCodeVersion));
}

int failAtStart(const std::string &message) {
  std::fprintf(stderr, "QuorbelHelper: %s\n", message.c_str());
  return EXIT_FAILURE;
}

// The helper's credentials: the plain helper's as before, an account's from its own folder.
std::optional<CredentialsFile> credentialsFor(const HelperChoice &account) {
  if (!account.name) {
    return CredentialsFile::atDefaultLocation();
  }
  const auto configDir = accountConfigDirectory(
      *account.name, account.configDir, environmentValue("CLAUDE_CONFIG_DIR"), homeDirectory());
  if (!configDir) {
    return std::nullopt;
  }
  return CredentialsFile(CredentialsFile::defaultPath(configDir->string(), std::nullopt));
}

// The store, with the lock file made again before each save when the folder was deleted meanwhile:
// the helper keeps its folder whole, and the lock's socket refuses a second helper either way.
class LockKeepingStore : public SnapshotPersisting {
public:
  LockKeepingStore(std::shared_ptr<SnapshotStore> store, InstanceLock lock)
      : store_(std::move(store)), lock_(std::move(lock)) {}
  void save(const PlanSnapshot &snapshot) override {
    lock_.restoreFile();
    store_->save(snapshot);
  }
  std::optional<PlanSnapshot> load() const override { return store_->load(); }

private:
  std::shared_ptr<SnapshotStore> store_;
  InstanceLock lock_;
};

int runLiveHelper(const HelperChoice &account) {
  const std::optional<std::filesystem::path> defaultPath = SnapshotStore::defaultFileURL();
  if (!defaultPath) {
    return failAtStart(snapshotNoHomeMessage());
  }
  const std::filesystem::path snapshotPath =
      accountFile(*defaultPath, account.name.value_or(std::string(kDefaultAccountName)));
  // Two helpers for one account would double the requests and earn rate limits; the second
  // leaves before it writes anything.
  auto locking = InstanceLock::acquire(snapshotLockFile(snapshotPath));
  if (const auto *held = std::get_if<InstanceLock::Held>(&locking)) {
    return failAtStart("another helper" +
                       (held->pid ? " (pid " + std::to_string(*held->pid) + ")" : std::string()) +
                       " already keeps " + snapshotPath.string());
  }
  if (const auto *failed = std::get_if<InstanceLock::Failed>(&locking)) {
    return failAtStart(failed->message);
  }
  const std::optional<CredentialsFile> credentialsFile = credentialsFor(account);
  if (!credentialsFile) {
    return failAtStart("no home directory to find ~/.claude-" + *account.name +
                       " in: give --config-dir or set CLAUDE_CONFIG_DIR");
  }
  auto credentials = std::make_shared<CredentialsFile>(*credentialsFile);
  // A status line inside Claude Code finds its own account by the folder its session reads.
  if (!credentials->path().empty()) {
    try {
      recordConfigFolder(snapshotPath, credentials->path().parent_path());
    } catch (const FileWriteError &problem) {
      std::fprintf(stderr, "QuorbelHelper: %s\n", problem.what());
    }
  }
  std::optional<LinuxTickTimer> timer;
  try {
    timer.emplace(credentials->path());
  } catch (const std::exception &error) {
    return failAtStart(std::string("cannot set up the wait between refreshes: ") + error.what());
  }
  const std::stop_token stop = stopOnTerminationSignal(std::stop_source());

  printLine("QuorbelHelper " + std::string(kHelperVersion) + " starting refresh cycle");
  const std::string userAgentVersion = probeUserAgentVersion(stop);
  printLine("User-Agent: claude-code/" + userAgentVersion);

  const std::shared_ptr<HttpSession> session = sharedHttpSession();
  session->cancelOn(stop);
  auto provider = std::make_shared<LivePlanUsageProvider>(credentials, session, userAgentVersion,
                                                          kExpiryMargin);
  auto store = std::make_shared<SnapshotStore>(snapshotPath);
  store->removeStaleTemporaries();
  if (account.name) {
    printLine("Credentials path: " + credentials->path().string());
  }
  printLine("Snapshot path: " + store->fileURL().string());

  HelperRuntime runtime(
      provider,
      std::make_shared<LockKeepingStore>(store, std::move(std::get<InstanceLock>(locking))),
      kRefreshInterval);
  runtime.recordHistoryIn(std::make_shared<HistoryStore>(historyPathBeside(snapshotPath)));
  if (account.serviceStatus) {
    // One file and one poller for the machine, whichever account this helper keeps.
    runtime.checkServiceStatusWith(
        std::make_shared<ServiceStatusPoller>(session, serviceStatusFileBeside(*defaultPath)));
  }
  try {
    runtime.run(stop, *timer);
  } catch (const std::exception &error) {
    // Only the wait itself can fail here; the service manager restarts the helper.
    std::fprintf(stderr, "QuorbelHelper: %s\n", error.what());
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}

} // namespace

int main(int argc, char **argv) {
  HelperChoice account;
  if (const auto status = readArguments(argc, argv, account)) {
    return *status;
  }
  // Before any thread exists; the self-check's live client needs it as much as the helper does.
  initHttpGlobal();
  if (selfCheckRequested()) {
    return runDryTests() ? EXIT_SUCCESS : EXIT_FAILURE;
  }
  return runLiveHelper(account);
}
