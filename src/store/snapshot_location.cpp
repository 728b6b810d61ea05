#include "store/snapshot_location.hpp"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace quorbel {
namespace {

std::optional<std::string> environmentValue(const char *name) {
  if (const char *value = std::getenv(name)) {
    return std::string(value);
  }
  return std::nullopt;
}

std::optional<std::string> passwdHomeDirectory() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? std::size_t(size) : 16384);
  passwd entry{};
  passwd *result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 ||
      result == nullptr || result->pw_dir == nullptr) {
    return std::nullopt;
  }
  return std::string(result->pw_dir);
}

bool isAbsolute(const std::optional<std::string> &path) {
  return path && !path->empty() && (*path)[0] == '/';
}

// Without any home at all there is no per-user place; the system temporary directory at least
// keeps the helper working.
constexpr std::string_view kLastResortDirectory = "/tmp";

} // namespace

LocationEnvironment LocationEnvironment::current() {
  return LocationEnvironment{std::nullopt, environmentValue("XDG_DATA_HOME"),
                             environmentValue("HOME"), passwdHomeDirectory()};
}

SnapshotLocation resolveSnapshotLocation(const LocationEnvironment &environment) {
  if (environment.appGroupContainer) {
    return SnapshotLocation{*environment.appGroupContainer / kSnapshotFileName, false};
  }
  std::filesystem::path dataDirectory;
  // A relative XDG_DATA_HOME is invalid by the XDG rules and must be ignored.
  if (isAbsolute(environment.xdgDataHome)) {
    dataDirectory = *environment.xdgDataHome;
  } else if (isAbsolute(environment.home)) {
    dataDirectory = std::filesystem::path(*environment.home) / ".local" / "share";
  } else if (isAbsolute(environment.passwdHome)) {
    dataDirectory = std::filesystem::path(*environment.passwdHome) / ".local" / "share";
  } else {
    dataDirectory = kLastResortDirectory;
  }
  return SnapshotLocation{dataDirectory / kFallbackDirectoryName / kSnapshotFileName, true};
}

std::string appGroupFallbackWarning() {
  return "[SnapshotStore] WARNING: App Group container '" + std::string(kAppGroupIdentifier) +
         "' unavailable; falling back to Application Support. The base app will NOT see this "
         "snapshot. Check the application-groups entitlement / code signing.\n";
}

} // namespace quorbel
