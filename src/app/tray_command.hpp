#pragma once

#include "view/accounts_view.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// What quorbel-tray was asked to show and how.
struct TrayRequest {
  std::filesystem::path defaultFile;  // where the accounts are looked for
  std::optional<AccountFile> account; // one account only, by --file or --account
  ViewOptions options;
  std::optional<std::string> openCommand;
  std::vector<std::string> statusArguments; // passed on to quorbel-status in the details
};

// The tray item until SIGTERM, SIGINT or "Quit" (exit 0); 1 without a session bus or a watch.
int runTray(const TrayRequest &request);

} // namespace quorbel
