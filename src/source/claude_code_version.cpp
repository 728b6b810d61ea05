#include "source/claude_code_version.hpp"

#include "platform/stop_event_fd_linux.hpp"
#include "platform/unique_fd.hpp"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

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
constexpr char32_t kReplacementCharacter = 0xFFFD;

bool isUnicodeWhitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Decodes with one U+FFFD per maximal invalid subpart, the usual replacement practice.
std::vector<char32_t> decodeUtf8(std::string_view bytes) {
  std::vector<char32_t> out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  const auto byteAt = [&](std::size_t index) { return static_cast<unsigned char>(bytes[index]); };
  while (i < bytes.size()) {
    const unsigned char lead = byteAt(i);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    char32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      value = lead & 0x0F;
      low = lead == 0xE0 ? 0xA0 : 0x80;
      high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      value = lead & 0x07;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
      out.push_back(kReplacementCharacter);
      ++i;
      continue;
    }
    std::size_t consumed = 1;
    bool complete = true;
    for (; consumed < length; ++consumed) {
      if (i + consumed >= bytes.size()) {
        complete = false;
        break;
      }
      const unsigned char next = byteAt(i + consumed);
      if (next < low || next > high) {
        complete = false;
        break;
      }
      value = (value << 6) | (next & 0x3F);
      low = 0x80;
      high = 0xBF;
    }
    out.push_back(complete ? value : kReplacementCharacter);
    i += consumed;
  }
  return out;
}

void appendUtf8(std::string &out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

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

std::string decodeAndTrim(std::string_view bytes) {
  const std::vector<char32_t> text = decodeUtf8(bytes);
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isUnicodeWhitespace(text[begin])) {
    ++begin;
  }
  while (end > begin && isUnicodeWhitespace(text[end - 1])) {
    --end;
  }
  std::string out;
  out.reserve(end - begin);
  for (std::size_t i = begin; i < end; ++i) {
    appendUtf8(out, text[i]);
  }
  return out;
}

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
  std::string text = decodeAndTrim(output);
  if (text.empty()) {
    return std::nullopt;
  }
  return text;
}

} // namespace quorbel::ClaudeCodeVersion
