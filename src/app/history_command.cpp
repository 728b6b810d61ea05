#include "app/history_command.hpp"
#include "app/status_exit.hpp"

#include "history/history_store.hpp"
#include "model/clock.hpp"
#include "platform/atomic_file.hpp"
#include "platform/environment.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace quorbel {
namespace {

constexpr int kDefaultColumns = 80;

void writeOut(const std::string &text) { std::fwrite(text.data(), 1, text.size(), stdout); }

} // namespace

int terminalColumns() {
  if (const auto columns = environmentValue("COLUMNS")) {
    char *end = nullptr;
    const long value = std::strtol(columns->c_str(), &end, 10);
    if (end != columns->c_str() && *end == '\0' && value > 0 && value < 10000) {
      return int(value);
    }
  }
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  return kDefaultColumns;
}

int runHistory(const std::vector<AccountFile> &accounts, const HistoryRequest &request) {
  HistoryFrame frame;
  frame.to = systemClock().now();
  frame.from = frame.to - request.since;
  frame.sinceText = request.sinceText;
  frame.warn = request.warn;
  frame.critical = request.critical;
  int status = kExitOk;
  std::vector<AccountHistory> histories;
  bool anySample = false;
  for (const AccountFile &account : accounts) {
    try {
      histories.push_back({account.name, readHistory(historyPathBeside(account.file), frame.from)});
      anySample = anySample || !histories.back().samples.empty();
    } catch (const HistoryError &error) {
      std::fprintf(stderr, "quorbel-status: cannot read the history: %s\n", error.what());
      status = kExitUnreadable;
    }
  }
  if (histories.empty()) {
    return status;
  }
  const bool picture =
      request.format == HistoryFormat::chart || request.format == HistoryFormat::svg;
  if (picture && !anySample) {
    // Nothing to draw: a line for the person, and no picture file pretending to be one.
    writeOut(emptyHistoryLine(frame));
    return status;
  }
  if (request.format == HistoryFormat::chart) {
    frame.columns = terminalColumns();
  }
  const std::string text = formatAccountsHistory(histories, request.format, frame);
  if (request.output.empty()) {
    writeOut(text);
    return status;
  }
  try {
    replaceSharedFile(request.output, text);
  } catch (const FileWriteError &error) {
    std::fprintf(stderr, "quorbel-status: %s\n", error.what());
    return kExitCannotWrite;
  }
  return status;
}

} // namespace quorbel
