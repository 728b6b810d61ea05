#include "platform/xdg_directories.hpp"

#include "platform/environment.hpp"
#include "platform/home_directory.hpp"

namespace quorbel {
namespace {

const char *variableOf(XdgDirectory directory) {
  return directory == XdgDirectory::data ? "XDG_DATA_HOME" : "XDG_STATE_HOME";
}

const char *defaultUnderHome(XdgDirectory directory) {
  return directory == XdgDirectory::data ? "share" : "state";
}

} // namespace

std::optional<std::filesystem::path>
resolveXdgDirectory(XdgDirectory directory, const std::optional<std::string> &variableValue,
                    const std::optional<std::filesystem::path> &home) {
  if (isAbsolutePath(variableValue)) {
    return std::filesystem::path(*variableValue);
  }
  if (!home) {
    return std::nullopt;
  }
  return *home / ".local" / defaultUnderHome(directory);
}

std::optional<std::filesystem::path> xdgDirectory(XdgDirectory directory) {
  return resolveXdgDirectory(directory, environmentValue(variableOf(directory)), homeDirectory());
}

std::string noHomeMessage(std::string_view what, XdgDirectory directory) {
  std::string message = "no home directory to keep ";
  message += what;
  message += " in: set HOME (or ";
  message += variableOf(directory);
  message += ") to an absolute path";
  return message;
}

} // namespace quorbel
