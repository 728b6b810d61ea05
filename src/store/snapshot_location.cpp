#include "store/snapshot_location.hpp"

#include "platform/environment.hpp"
#include "platform/home_directory.hpp"

namespace quorbel {

LocationEnvironment LocationEnvironment::current() {
  return LocationEnvironment{std::nullopt, environmentValue("XDG_DATA_HOME"), homeDirectory()};
}

std::optional<std::filesystem::path>
resolveSnapshotLocation(const LocationEnvironment &environment) {
  if (environment.appGroupContainer) {
    return *environment.appGroupContainer / kSnapshotFileName;
  }
  std::filesystem::path dataDirectory;
  // A relative XDG_DATA_HOME is invalid by the XDG rules and must be ignored.
  if (isAbsolutePath(environment.xdgDataHome)) {
    dataDirectory = *environment.xdgDataHome;
  } else if (environment.home) {
    dataDirectory = *environment.home / ".local" / "share";
  } else {
    return std::nullopt;
  }
  return dataDirectory / kFallbackDirectoryName / kSnapshotFileName;
}

} // namespace quorbel
