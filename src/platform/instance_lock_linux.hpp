#pragma once

#include "platform/unique_fd.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <variant>

namespace quorbel {

// An exclusive flock() on a lock file, held for as long as the object lives. The kernel drops it
// when the process ends however it ends, SIGKILL included, so a stale lock cannot outlive its
// holder and no pid has to be judged alive.
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

  InstanceLock(InstanceLock &&) = default;
  InstanceLock &operator=(InstanceLock &&) = default;

private:
  explicit InstanceLock(UniqueFd fd) : fd_(std::move(fd)) {}

  UniqueFd fd_;
};

} // namespace quorbel
