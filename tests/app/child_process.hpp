#pragma once

#include "support/deadline.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quorbel::testing {

// A child process with a chosen environment and both output streams captured, for tests that
// drive the built executable. The destructor kills and reaps a child that is still running.
class ChildProcess {
public:
  using Clock = std::chrono::steady_clock;

  struct Options {
    // With it, standard output starts almost full and is not read until
    // releaseStandardOutput(): the child blocks in the first write that does not fit, which lets
    // a test look at the files between two of its steps.
    std::optional<std::size_t> stdoutRoom{};
    std::vector<std::string> arguments{}; // after the program's name
    // Runs in the child just before exec, e.g. to enter namespaces; false ends the child with 126.
    // Only system calls belong here: the child of a threaded process must not allocate.
    std::function<bool()> prepare{};
  };

  ChildProcess(const std::string &program, const std::vector<std::string> &environment,
               Options options);
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  // Reads output until `done` holds or `timeout` passes; returns whether it held.
  bool waitFor(const std::function<bool()> &done, std::chrono::milliseconds timeout);
  // Reads output until standard output holds `text`; whether it came in time.
  bool waitForOutput(const std::string &text, std::chrono::milliseconds timeout = kTestDeadline);

  // Reads output until both streams close and the child exits; the exit status, or nothing on
  // timeout or when the child did not exit normally.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);

  void sendSignal(int signal) const;
  // Sends `signal`, then as waitForExit().
  std::optional<int> endWith(int signal, std::chrono::milliseconds timeout = kTestDeadline);
  pid_t pid() const { return pid_; }
  // Whether the child has ended, without waiting.
  bool exited();
  void releaseStandardOutput();
  // Closes this end of standard output, as a reader that goes away does.
  void closeStandardOutput();

  const std::string &standardOutput() const { return out_; }
  const std::string &standardError() const { return err_; }

private:
  void pump(Clock::time_point deadline);
  bool reap(bool block);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string out_;
  std::string err_;
  std::optional<int> rawStatus_;
  bool stdoutHeld_ = false;
  std::size_t fillerToDrop_ = 0;
};

// The built helper with a HOME, XDG_DATA_HOME and TMPDIR of its own under `root` and a PATH that
// holds no "claude" unless the test puts one in `root`/bin, so nothing of the machine's own setup
// leaks in. getenv() takes the first of equal names, so `environment` overrides these.
// The service's status page is on the internet, so the helper leaves it alone unless a test that
// routes it elsewhere asks for it.
std::unique_ptr<ChildProcess> startHelper(const std::filesystem::path &root,
                                          std::vector<std::string> environment = {},
                                          ChildProcess::Options options = {},
                                          bool asksServicePage = false);

} // namespace quorbel::testing
