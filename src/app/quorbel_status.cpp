// quorbel-status: prints the helper's snapshot for bars, terminals and scripts.

#include "app/dashboard_command.hpp"
#include "app/history_command.hpp"
#include "app/one_shot_command.hpp"
#include "app/status_exit.hpp"
#include "app/status_request.hpp"
#include "app/statusline_command.hpp"
#include "app/watch_command.hpp"
#include "platform/atomic_file.hpp"
#include "store/account_location.hpp"
#include "store/snapshot_location.hpp"
#include "store/snapshot_store.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace quorbel;

// Whose snapshot a mode shows: one account (by --account, or by --file, which stands for the
// default account), or, when none is chosen, every account beside the default file.
struct Subject {
  std::filesystem::path defaultFile;
  std::optional<AccountFile> chosen;
};

// The subject the request names, or the exit status when it names none.
std::optional<Subject> subjectOf(const StatusRequest &request, int &exitStatus) {
  const std::optional<std::filesystem::path> location =
      request.file.empty() ? SnapshotStore::defaultFileURL() : std::filesystem::path(request.file);
  if (!location) {
    std::fprintf(stderr, "quorbel-status: %s\n", snapshotNoHomeMessage().c_str());
    exitStatus = kExitUsage;
    return std::nullopt;
  }
  Subject subject{*location, std::nullopt};
  if (request.account) {
    const std::vector<AccountFile> accounts = findAccounts(*location);
    subject.chosen = accountNamed(accounts, *location, *request.account);
    if (!subject.chosen) {
      std::fprintf(stderr, "quorbel-status: no account '%s'; accounts found: %s\n",
                   request.account->c_str(), accountNames(accounts).c_str());
      exitStatus = kExitUsage;
      return std::nullopt;
    }
  } else if (!request.file.empty()) {
    subject.chosen = AccountFile{std::string(kDefaultAccountName), *location};
  }
  return subject;
}

int runHistoryMode(const StatusRequest &request, const Subject &subject) {
  HistoryRequest history = request.history;
  history.output = request.output.value_or(std::filesystem::path());
  history.warn = request.options.warn;
  history.critical = request.options.critical;
  return runHistory(
      subject.chosen ? std::vector{*subject.chosen} : findAccounts(subject.defaultFile), history);
}

// Every account, those that appear later too, unless one was chosen; one alone shows exactly as it
// always has.
int runOnceMode(const StatusRequest &request, const Subject &subject) {
  if (subject.chosen) {
    return runOnce(*subject.chosen, request.format, request.options, request.output);
  }
  const std::vector<AccountFile> accounts = findAccounts(subject.defaultFile);
  if (accounts.size() > 1 || request.format == OutputFormat::prometheus) {
    return runAccountsOnce(accounts, request.format, request.options, request.output);
  }
  return runOnce(accounts.front(), request.format, request.options, request.output);
}

int runMode(const StatusRequest &request, const Subject &subject) {
  switch (request.mode) {
  case StatusMode::history:
    return runHistoryMode(request, subject);
  case StatusMode::watch:
    return subject.chosen
               ? runStatusWatch(*subject.chosen, request.format, request.options, request.output)
               : runAccountsWatch(subject.defaultFile, request.format, request.options,
                                  request.output);
  case StatusMode::notify:
    return subject.chosen ? runUsageNotifier(*subject.chosen, request.options)
                          : runAccountsNotifier(subject.defaultFile, request.options);
  case StatusMode::dashboard:
    return runDashboard(subject.defaultFile, subject.chosen, request.options, request.color);
  case StatusMode::once:
  case StatusMode::statusLine:
    break;
  }
  return runOnceMode(request, subject);
}

// Refuses an --output that is not a regular file before any mode writes, and sweeps what a writer
// killed long ago left beside it, as the helper does beside its snapshot.
bool outputUsable(const std::optional<std::filesystem::path> &output) {
  if (!output) {
    return true;
  }
  try {
    AtomicFile::removeStaleTemporaries(sharedFileDestination(*output));
    return true;
  } catch (const FileWriteError &problem) {
    std::fprintf(stderr, "quorbel-status: %s; leave out --output to print\n", problem.what());
    return false;
  }
}

} // namespace

int main(int argc, char **argv) {
  const ParsedStatusArguments parsed = parseStatusArguments(argc, argv);
  if (!parsed.request) {
    return parsed.exitStatus;
  }
  if (!outputUsable(parsed.request->output)) {
    return kExitUsage;
  }
  StatusRequest request = *parsed.request;
  const std::optional<std::filesystem::path> snapshotFile =
      request.file.empty() ? SnapshotStore::defaultFileURL() : std::filesystem::path(request.file);
  // One status file for the machine, beside the default snapshot (or the file given instead).
  if (snapshotFile) {
    request.options.serviceStatusFile = serviceStatusFileBeside(*snapshotFile);
  }
  if (request.mode == StatusMode::statusLine) {
    // Before the subject: the status line must come even without a home or an account.
    return runStatusLine({request.options, snapshotFile, request.account, !request.file.empty(),
                          request.color, request.lines});
  }
  int exitStatus = kExitOk;
  const std::optional<Subject> subject = subjectOf(request, exitStatus);
  if (!subject) {
    return exitStatus;
  }
  return runMode(request, *subject);
}
