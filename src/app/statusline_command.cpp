#include "app/statusline_command.hpp"

#include "app/status_exit.hpp"
#include "model/clock.hpp"
#include "platform/environment.hpp"
#include "platform/fd_io.hpp"
#include "platform/home_directory.hpp"
#include "store/account_location.hpp"
#include "store/session_account.hpp"
#include "view/session_input.hpp"
#include "view/snapshot_reading.hpp"
#include "view/status_line.hpp"

#include <cstdlib>
#include <unistd.h>

namespace quorbel {
namespace {

SessionInput readSessionInput() {
  if (::isatty(STDIN_FILENO) == 1) {
    return {};
  }
  const BoundedRead read =
      readBoundedWithin(STDIN_FILENO, kMaxSessionInputBytes, kSessionInputWait);
  // A document cut at the bound is not the session's document; half of one could still parse.
  if (read.tooLarge || read.error != 0) {
    return {};
  }
  return sessionInputOf(read.content);
}

// Claude Code sets COLUMNS to the width its line has; without it nothing is cut.
std::size_t columnsFromEnvironment() {
  const std::optional<std::string> text = environmentValue("COLUMNS");
  if (!text || text->empty()) {
    return 0;
  }
  char *end = nullptr;
  const long columns = std::strtol(text->c_str(), &end, 10);
  return *end == '\0' && columns > 0 && columns < 100000 ? std::size_t(columns) : 0;
}

// The session's account as a view: its snapshot with the session's windows, or the session's
// windows alone when the helper has no numbers to give.
std::optional<UsageView> sessionView(const std::optional<AccountFile> &account,
                                     const SessionInput &input, Instant now,
                                     const ViewOptions &options) {
  std::optional<PlanSnapshot> snapshot;
  if (account) {
    snapshot = SnapshotReading::of(account->file).snapshot;
  }
  if (!snapshot && !input.fiveHour && !input.sevenDay) {
    return std::nullopt;
  }
  const PlanSnapshot merged = withSessionWindows(
      snapshot.value_or(PlanSnapshot::dataless(PlanStatus::noData, now)), input, now);
  return UsageView::of(merged, now, options);
}

} // namespace

int runStatusLine(const StatusLineRequest &request) {
  const SessionInput input = readSessionInput();
  const Instant now = systemClock().now();
  std::vector<AccountFile> accounts;
  std::optional<AccountFile> own;
  if (request.fileGiven && request.defaultFile) {
    own = AccountFile{std::string(kDefaultAccountName), *request.defaultFile};
    accounts = {*own};
  } else if (request.defaultFile) {
    accounts = findAccounts(*request.defaultFile);
    if (request.account) {
      own = accountNamed(accounts, *request.defaultFile, *request.account);
    } else {
      const std::optional<std::filesystem::path> home = homeDirectory();
      if (const auto folder = sessionConfigFolder(environmentValue("CLAUDE_CONFIG_DIR"), home)) {
        own = accountReading(accounts, *folder, home);
      }
    }
  }
  StatusLineContent content{
      input.model, input.contextUsedPercent, sessionView(own, input, now, request.options), {}};
  for (const AccountFile &account : accounts) {
    if (own && account.file == own->file) {
      continue;
    }
    if (const auto snapshot = SnapshotReading::of(account.file).snapshot) {
      UsageView view = UsageView::of(*snapshot, now, request.options);
      if (view.percentage >= request.options.warn) {
        content.others.push_back({account.name, std::move(view)});
      }
    }
  }
  const StatusLineStyle style{
      colorWanted(request.color, environmentValue("NO_COLOR"), environmentValue("TERM")),
      columnsFromEnvironment(), request.lines};
  const std::string line = formatStatusLine(content, style) + "\n";
  [[maybe_unused]] const int ignored = writeAll(STDOUT_FILENO, line);
  return kExitOk;
}

} // namespace quorbel
