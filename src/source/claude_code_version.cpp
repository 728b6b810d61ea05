#include "source/claude_code_version.hpp"

#include "platform/stop_event_fd_linux.hpp"
#include "platform/unique_fd.hpp"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace quorbel::ClaudeCodeVersion {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A version line is a few dozen bytes; whatever a broken CLI prints past this is drained unkept.
constexpr std::size_t kMaxKeptOutputBytes = 64 * 1024;
constexpr std::chrono::milliseconds kExitPollStep{5};
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t digitsFrom(std::string_view text, std::size_t start) {
  std::size_t end = start;
  while (end < text.size() && isDigit(text[end])) {
    ++end;
  }
  return end - start;
}

int remainingMilliseconds(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads until end of file, the deadline or a stop; false when the deadline or the stop came first.
bool readUntilEndOfFile(int fd, SteadyClock::time_point deadline, const StopEventFd &stop,
                        std::string &output) {
  char chunk[4096];
  for (;;) {
    pollfd waiting[2] = {{fd, POLLIN, 0}, {stop.fd(), POLLIN, 0}};
    const int ready = poll(waiting, 2, remainingMilliseconds(deadline));
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (ready == 0 || (waiting[1].revents & POLLIN) != 0) {
      return false;
    }
    const ssize_t count = read(fd, chunk, sizeof chunk);
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      return false;
    }
    if (count == 0) {
      return true;
    }
    const std::size_t room = kMaxKeptOutputBytes - std::min(output.size(), kMaxKeptOutputBytes);
    output.append(chunk, std::min(room, static_cast<std::size_t>(count)));
  }
}

std::optional<int> waitForExit(pid_t child, SteadyClock::time_point deadline,
                               const std::stop_token &stop) {
  for (;;) {
    int status = 0;
    const pid_t reaped = waitpid(child, &status, WNOHANG);
    if (reaped == child) {
      return status;
    }
    if (reaped < 0 && errno != EINTR) {
      return std::nullopt;
    }
    if (SteadyClock::now() >= deadline || stop.stop_requested()) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(kExitPollStep);
  }
}

void killAndReap(pid_t child) {
  // The child leads its own process group, so helpers it started die with it.
  kill(-child, SIGKILL);
  kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup &) = delete;
  SpawnSetup &operator=(const SpawnSetup &) = delete;
};

} // namespace

std::optional<std::string> parseVersion(std::string_view text) {
  // A match can only start where a run of digits starts: starting inside a run leaves the same
  // tail to match, and the longer run is further left.
  for (std::size_t start = 0; start < text.size(); ++start) {
    if (!isDigit(text[start]) || (start > 0 && isDigit(text[start - 1]))) {
      continue;
    }
    std::size_t end = start;
    bool matched = true;
    for (int run = 0; run < 3; ++run) {
      if (run > 0) {
        if (end >= text.size() || text[end] != '.') {
          matched = false;
          break;
        }
        ++end;
      }
      const std::size_t digits = digitsFrom(text, end);
      if (digits == 0) {
        matched = false;
        break;
      }
      end += digits;
    }
    if (matched) {
      return std::string(text.substr(start, end - start));
    }
  }
  return std::nullopt;
}

std::optional<std::string> runClaudeVersion(std::chrono::milliseconds timeLimit,
                                            std::stop_token stop) {
  const auto deadline = SteadyClock::now() + timeLimit;
  std::optional<StopEventFd> stopEvent;
  try {
    stopEvent.emplace();
  } catch (const std::system_error &) {
    return std::nullopt;
  }
  const auto notify = stopEvent->notifyOn(stop);

  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    return std::nullopt;
  }
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);

  SpawnSetup setup;
  posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&setup.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // The helper ignores SIGPIPE for its own sockets; the CLI should get the ordinary default.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t noneBlocked;
  sigemptyset(&noneBlocked);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setsigmask(&setup.attributes, &noneBlocked);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setflags(&setup.attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  char program[] = "/usr/bin/env";
  char command[] = "claude";
  char flag[] = "--version";
  char *arguments[] = {program, command, flag, nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, program, &setup.actions, &setup.attributes, arguments, environ) != 0) {
    return std::nullopt;
  }
  // Our copy of the write end must go, or the read below would never see end of file.
  writeEnd.reset();

  std::string output;
  const bool reachedEnd = readUntilEndOfFile(readEnd.get(), deadline, *stopEvent, output);
  readEnd.reset();
  const std::optional<int> status =
      reachedEnd ? waitForExit(child, deadline, stop) : std::optional<int>();
  if (!status) {
    killAndReap(child);
    return std::nullopt;
  }
  if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    return std::nullopt;
  }
  return parseVersion(output);
}

} // namespace quorbel::ClaudeCodeVersion
