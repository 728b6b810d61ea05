#pragma once

#include "platform/unique_fd.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <variant>

namespace quorbel {

// An exclusive hold on a lock file's name, kept for as long as the object lives: an abstract unix
// socket named after the user and the file's path, which no file operation can remove (deleting
// the folder must not let a second holder in), and a flock() on the file itself, which also holds
// where another path leads to the same file. The kernel drops both when the process ends however
// it ends, SIGKILL included, so a stale lock cannot outlive its holder and no pid has to be judged
// alive.
class InstanceLock {
public:
  // Another process holds the lock; its pid when the file tells it.
  struct Held {
    std::optional<pid_t> pid;
  };
  // The lock could not even be tried; the message names the file and the cause.
  struct Failed {
    std::string message;
  };
  using Outcome = std::variant<InstanceLock, Held, Failed>;

  // Creates the file's missing folders (0700) and the file itself (0600), takes the lock without
  // waiting and writes this process's pid into the file. A holder is never waited for.
  static Outcome acquire(const std::filesystem::path &file);

  // The name of the socket that holds `file` for the calling user, without its leading NUL.
  static std::string socketName(const std::filesystem::path &file);

  // Makes the lock file again, locked and naming this process, when it is gone from its path or
  // another file stands there (its folder deleted meanwhile). Best effort: the socket still holds.
  void restoreFile() noexcept;

  InstanceLock(InstanceLock &&) = default;
  InstanceLock &operator=(InstanceLock &&) = default;

private:
  InstanceLock(std::filesystem::path file, UniqueFd socket, UniqueFd fd)
      : file_(std::move(file)), socket_(std::move(socket)), fd_(std::move(fd)) {}

  std::filesystem::path file_;
  UniqueFd socket_;
  UniqueFd fd_;
};

} // namespace quorbel
