#pragma once

#include "app/history_command.hpp"
#include "app/status_arguments.hpp"
#include "view/usage_formats.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace quorbel {

// What quorbel-status runs: each mode is one function of its own, chosen by main.
enum class StatusMode { once, watch, notify, history, statusLine, dashboard };

// Everything the command line asked for, checked: options that do not go together are refused
// before any mode starts.
struct StatusRequest {
  StatusMode mode = StatusMode::once;
  OutputFormat format = OutputFormat::text;
  HistoryRequest history;
  ViewOptions options;
  std::string file;                   // empty: where QuorbelHelper writes
  std::optional<std::string> account; // --account
  std::optional<std::filesystem::path> output;
  ColorChoice color = ColorChoice::automatic; // --color, for the status line
  int lines = 1;                              // --lines, for the status line
};

// The request, or, when there is nothing to run (bad arguments, --help, --version), the exit
// status, with what was to be said already printed.
struct ParsedStatusArguments {
  std::optional<StatusRequest> request;
  int exitStatus = 0;
};

ParsedStatusArguments parseStatusArguments(int argc, char **argv);

// Says `message` and the usage on standard error; returns the exit status for bad arguments.
int statusUsageError(const std::string &message);

} // namespace quorbel
