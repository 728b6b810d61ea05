#pragma once

#include "dashboard/dashboard_layout.hpp"
#include "dashboard/terminal_screen.hpp"
#include "store/account_location.hpp"
#include "watch/watch_loop.hpp"

#include <filesystem>
#include <functional>
#include <vector>

namespace quorbel {

// What `quorbel-status --dashboard` does at each look: takes the keys pressed, reads every
// account's snapshot and last day of history, and redraws when the screen would read differently.
class Dashboard {
public:
  // The accounts to show at this look, found afresh each time.
  using Accounts = std::function<std::vector<AccountFile>()>;

  Dashboard(TerminalScreen &screen, Accounts accounts, ViewOptions options);

  // `resized`: the terminal changed size since the last look. Stops on `q`.
  WatchNext update(Instant now, bool resized);

  // The snapshot files the last look read, for the wake source to follow.
  const std::vector<std::filesystem::path> &files() const { return files_; }

private:
  // False on `q`.
  bool press(int key, std::size_t accountCount);

  TerminalScreen &screen_;
  Accounts accounts_;
  ViewOptions options_;
  DashboardChoice choice_;
  std::vector<std::filesystem::path> files_;
  std::vector<ScreenLine> shown_;
};

} // namespace quorbel
