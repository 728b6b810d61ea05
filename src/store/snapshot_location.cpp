#include "store/snapshot_location.hpp"

#include "platform/environment.hpp"
#include "platform/home_directory.hpp"
#include "platform/xdg_directories.hpp"

namespace quorbel {

LocationEnvironment LocationEnvironment::current() {
  return LocationEnvironment{std::nullopt, environmentValue("XDG_DATA_HOME"), homeDirectory()};
}

std::optional<std::filesystem::path>
resolveSnapshotLocation(const LocationEnvironment &environment) {
  if (environment.appGroupContainer) {
    return *environment.appGroupContainer / kSnapshotFileName;
  }
  const auto dataDirectory =
      resolveXdgDirectory(XdgDirectory::data, environment.xdgDataHome, environment.home);
  if (!dataDirectory) {
    return std::nullopt;
  }
  return *dataDirectory / kFallbackDirectoryName / kSnapshotFileName;
}

std::string snapshotNoHomeMessage() { return noHomeMessage(kSnapshotFileName, XdgDirectory::data); }

std::filesystem::path serviceStatusFileBeside(const std::filesystem::path &defaultSnapshot) {
  return defaultSnapshot.parent_path() / kServiceStatusFileName;
}

} // namespace quorbel
