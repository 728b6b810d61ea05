#include "tray/details_command.hpp"

#include "platform/environment.hpp"
#include "platform/errno_text.hpp"

#include <csignal>
#include <filesystem>
#include <spawn.h>
#include <unistd.h>

extern char **environ;

namespace quorbel {

std::optional<std::vector<std::string>>
detailsCommand(const std::optional<std::string> &openCommand,
               const std::vector<std::string> &statusCommand,
               const std::function<bool(const std::string &program)> &installed) {
  if (openCommand) {
    return std::vector<std::string>{"/bin/sh", "-c", *openCommand};
  }
  std::vector<std::string> command;
  if (installed("xdg-terminal-exec")) {
    command = {"xdg-terminal-exec"};
  } else if (installed("x-terminal-emulator")) {
    command = {"x-terminal-emulator", "-e"};
  } else {
    return std::nullopt;
  }
  command.insert(command.end(), statusCommand.begin(), statusCommand.end());
  return command;
}

bool onPath(const std::string &program) {
  const std::string path = environmentValue("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
  std::string_view folders = path;
  while (!folders.empty()) {
    const std::size_t end = std::min(folders.find(':'), folders.size());
    const std::filesystem::path folder(folders.substr(0, end));
    if (!folder.empty() && ::access((folder / program).c_str(), X_OK) == 0) {
      return true;
    }
    folders.remove_prefix(std::min(end + 1, folders.size()));
  }
  return false;
}

std::optional<std::string> startDetached(const std::vector<std::string> &command) {
  std::vector<char *> arguments;
  for (const std::string &argument : command) {
    arguments.push_back(const_cast<char *>(argument.c_str()));
  }
  arguments.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A session of its own, so the terminal outlives the tray; and the signals the tray ignores or
  // handles are the terminal's own again.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signal : {SIGCHLD, SIGPIPE, SIGTERM, SIGINT}) {
    sigaddset(&defaults, signal);
  }
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t child = 0;
  const int error =
      ::posix_spawnp(&child, arguments.front(), nullptr, &attributes, arguments.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    return failureText("cannot start " + command.front(), error);
  }
  return std::nullopt;
}

} // namespace quorbel
