#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// What "Open details" runs: the user's --open-command through the shell, else the status command
// in the first terminal found (xdg-terminal-exec, then Debian's x-terminal-emulator); nothing
// when there is neither.
std::optional<std::vector<std::string>>
detailsCommand(const std::optional<std::string> &openCommand,
               const std::vector<std::string> &statusCommand,
               const std::function<bool(const std::string &program)> &installed);

// Whether `program` is an executable file in a folder of PATH.
bool onPath(const std::string &program);

// Starts `command` in a session of its own and does not wait for it; its cause when it cannot.
std::optional<std::string> startDetached(const std::vector<std::string> &command);

} // namespace quorbel
