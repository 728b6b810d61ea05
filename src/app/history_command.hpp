#pragma once

#include "chart/history_formats.hpp"

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
  std::string account = "default"; // the account whose history it is, as csv names it
};

// `quorbel-status --history`: the samples beside `snapshotFile` over the last `since`, in one of
// the history formats. Returns the exit status: 0 shown (an empty history too), 4 unreadable or
// the output not written.
int runHistory(const std::filesystem::path &snapshotFile, const HistoryRequest &request);

// The width a chart may take: COLUMNS when it is a positive number, else the terminal's, else 80.
int terminalColumns();

} // namespace quorbel
