#pragma once

#include <chrono>
#include <functional>
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

  // With `stdoutRoom`, standard output starts almost full and is not read until
  // releaseStandardOutput(): the child blocks in the first write that does not fit, which lets a
  // test look at the files between two of its steps.
  ChildProcess(const std::string &program, const std::vector<std::string> &environment,
               std::optional<std::size_t> stdoutRoom = std::nullopt,
               const std::vector<std::string> &arguments = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  // Reads output until `done` holds or `timeout` passes; returns whether it held.
  bool waitFor(const std::function<bool()> &done, std::chrono::milliseconds timeout);

  // Reads output until both streams close and the child exits; the exit status, or nothing on
  // timeout or when the child did not exit normally.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);

  void sendSignal(int signal) const;
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

} // namespace quorbel::testing
