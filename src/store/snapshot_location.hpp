#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

// The container a macOS build would share with the base app. Linux has no App Groups: the data
// directory below is the shared place, where every reader finds the file.
inline constexpr std::string_view kAppGroupIdentifier = "group.dev.quorbel.helper";
inline constexpr std::string_view kSnapshotFileName = "plan-snapshot.json";
inline constexpr std::string_view kFallbackDirectoryName = "QuorbelHelper";

// What the location depends on, read from the process so the logic stays a pure function.
struct LocationEnvironment {
  std::optional<std::filesystem::path> appGroupContainer; // never found on Linux
  std::optional<std::string> xdgDataHome;                 // $XDG_DATA_HOME
  std::optional<std::filesystem::path> home;              // from homeDirectory()

  static LocationEnvironment current();
};

// The container when there is one; otherwise <data dir>/QuorbelHelper/plan-snapshot.json, the data
// dir being $XDG_DATA_HOME when absolute, else <home>/.local/share. Nothing without a home: a
// shared directory such as /tmp would let another local user plant or read the file.
std::optional<std::filesystem::path>
resolveSnapshotLocation(const LocationEnvironment &environment);

// The service's status file, one for the machine whichever account a helper keeps: in the folder
// of the default snapshot.
inline constexpr std::string_view kServiceStatusFileName = "service-status.json";
std::filesystem::path serviceStatusFileBeside(const std::filesystem::path &defaultSnapshot);

// Why there is no default location, for both programs to print after their name.
std::string snapshotNoHomeMessage();

} // namespace quorbel
