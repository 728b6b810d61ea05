#pragma once

#include "chart/history_formats.hpp"
#include "view/accounts_view.hpp"

#include <chrono>
#include <filesystem>
#include <string>

namespace quorbel {

struct HistoryRequest {
  HistoryFormat format = HistoryFormat::chart;
  std::chrono::seconds since{7 * 86400};
  std::string sinceText = "7d";
  std::string output; // empty: standard output
  std::int64_t warn = 80;
  std::int64_t critical = 95;
};

// `quorbel-status --history`: each account's samples beside its snapshot over the last `since`,
// in one of the history formats. Returns the exit status: 0 shown (an empty history too), 4 when a
// history cannot be read (the others are still shown), 5 when the output is not written.
int runHistory(const std::vector<AccountFile> &accounts, const HistoryRequest &request);

// The width a chart may take: COLUMNS when it is a positive number, else the terminal's, else 80.
int terminalColumns();

} // namespace quorbel
