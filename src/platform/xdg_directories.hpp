#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

// The two XDG base directories we keep files in.
enum class XdgDirectory {
  data,  // $XDG_DATA_HOME, else <home>/.local/share: the snapshot
  state, // $XDG_STATE_HOME, else <home>/.local/state: what the notifier has told
};

// The directory's value when the environment variable holds an absolute path (a relative one is
// invalid by the XDG rules and ignored), else the default under `home`; nothing without either,
// rather than a shared directory such as /tmp where another local user could plant or read files.
std::optional<std::filesystem::path>
resolveXdgDirectory(XdgDirectory directory, const std::optional<std::string> &variableValue,
                    const std::optional<std::filesystem::path> &home);

// resolveXdgDirectory() for this process's environment and home.
std::optional<std::filesystem::path> xdgDirectory(XdgDirectory directory);

// Why there is no place for `what`, for a program to print after its name:
// "no home directory to keep plan-snapshot.json in: set HOME (or XDG_DATA_HOME) to an absolute
// path".
std::string noHomeMessage(std::string_view what, XdgDirectory directory);

} // namespace quorbel
