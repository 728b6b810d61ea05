#pragma once

#include "tray/tray_look.hpp"
#include "watch/watch_loop.hpp"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorbel {

// What the tray does at each look: reads every account's snapshot, lays them out as a TrayLook,
// and says when the look could next change.
class TrayWatch {
public:
  using Accounts = std::function<std::vector<AccountFile>()>;
  using Errors = std::function<void(std::string_view message)>;

  TrayWatch(Accounts accounts, ViewOptions options, Errors errors);

  struct Look {
    TrayLook look;
    WatchNext next;
  };
  Look update(Instant now);

  // The menu's rows at `now` from the snapshots of the last look, without reading them again.
  std::vector<std::string> rowsAt(Instant now) const;

  // The snapshot files the last look read, for the wake source to follow.
  const std::vector<std::filesystem::path> &files() const { return files_; }

private:
  Accounts accounts_;
  ViewOptions options_;
  Errors errors_;
  std::vector<AccountView> views_;
  std::vector<std::filesystem::path> files_;
  std::string lastProblem_;
};

} // namespace quorbel
