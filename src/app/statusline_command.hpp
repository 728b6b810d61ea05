#pragma once

#include "app/status_arguments.hpp"
#include "store/account_location.hpp"
#include "view/usage_view.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

inline constexpr std::string_view kStatusLineFormat = "statusline";

// What `quorbel-status --format statusline` is asked for.
struct StatusLineRequest {
  ViewOptions options;
  std::optional<std::filesystem::path> defaultFile; // --file, or none without a home
  std::optional<std::string> account;               // --account
  bool fileGiven = false;                           // --file: its account alone
  ColorChoice color = ColorChoice::automatic;
  int lines = 1;
};

// The command for Claude Code's status line: reads the session's document from standard input
// when it is not a terminal, prints the line and exits 0, whatever arrives and whatever is missing:
// a status line left blank tells the user nothing.
int runStatusLine(const StatusLineRequest &request);

} // namespace quorbel
