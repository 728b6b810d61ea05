#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

// The container shared with the base app. Linux has no App Groups, so the lookup finds nothing
// there and the helper falls back to its own data directory.
inline constexpr std::string_view kAppGroupIdentifier = "group.dev.quorbel.helper";
inline constexpr std::string_view kSnapshotFileName = "plan-snapshot.json";
inline constexpr std::string_view kFallbackDirectoryName = "QuorbelHelper";

// What the location depends on, read from the process so the logic stays a pure function.
struct LocationEnvironment {
  std::optional<std::filesystem::path> appGroupContainer;
  std::optional<std::string> xdgDataHome; // $XDG_DATA_HOME
  std::optional<std::string> home;        // $HOME
  std::optional<std::string> passwdHome;  // the password database's home for this user

  static LocationEnvironment current();
};

struct SnapshotLocation {
  std::filesystem::path file;
  bool fallback = false; // true when the base app cannot see this file
};

// The container when there is one; otherwise <data dir>/QuorbelHelper/plan-snapshot.json, the data
// dir being $XDG_DATA_HOME when absolute, else $HOME/.local/share, else the passwd home's.
SnapshotLocation resolveSnapshotLocation(const LocationEnvironment &environment);

// The warning printed once per process when the fallback is used, newline included.
std::string appGroupFallbackWarning();

} // namespace quorbel
