#include "app/child_process.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace quorbel::testing {

namespace {

std::vector<char *> cStrings(std::vector<std::string> &values) {
  std::vector<char *> pointers;
  for (auto &value : values) {
    pointers.push_back(value.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

void closeIfOpen(int &fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

} // namespace

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &environment)
    : ChildProcess(program, environment, Options{}) {}

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &environment,
                           Options options) {
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  if (options.stdoutRoom) {
    // The smallest pipe is one page, so the filler and the room are exact byte counts.
    ::fcntl(outPipe[1], F_SETPIPE_SZ, 4096);
    const int capacity = ::fcntl(outPipe[1], F_GETPIPE_SZ);
    if (capacity <= 0 || std::size_t(capacity) <= *options.stdoutRoom) {
      throw std::runtime_error("cannot size the standard output pipe");
    }
    fillerToDrop_ = std::size_t(capacity) - *options.stdoutRoom;
    const std::string filler(fillerToDrop_, '#');
    if (::write(outPipe[1], filler.data(), filler.size()) != ssize_t(filler.size())) {
      throw std::runtime_error("cannot fill the standard output pipe");
    }
    stdoutHeld_ = true;
  }
  std::vector<std::string> argvStrings{program};
  argvStrings.insert(argvStrings.end(), options.arguments.begin(), options.arguments.end());
  std::vector<std::string> envStrings = environment;
  auto argv = cStrings(argvStrings);
  auto envp = cStrings(envStrings);

  pid_ = ::fork();
  if (pid_ < 0) {
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  if (pid_ == 0) {
    // The test runner may block signals; the child must start with the defaults.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(outPipe[1], STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    if (options.prepare && !options.prepare()) {
      ::_exit(126);
    }
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
}

ChildProcess::~ChildProcess() {
  if (!rawStatus_) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  closeIfOpen(outFd_);
  closeIfOpen(errFd_);
}

void ChildProcess::sendSignal(int signal) const { ::kill(pid_, signal); }
void ChildProcess::releaseStandardOutput() { stdoutHeld_ = false; }
void ChildProcess::closeStandardOutput() { closeIfOpen(outFd_); }
bool ChildProcess::exited() { return rawStatus_ || reap(false); }

bool ChildProcess::reap(bool block) {
  int status = 0;
  if (::waitpid(pid_, &status, block ? 0 : WNOHANG) != pid_) {
    return false;
  }
  rawStatus_ = status;
  return true;
}

// One poll round: whatever is readable now, or nothing before the deadline.
void ChildProcess::pump(Clock::time_point deadline) {
  pollfd fds[2] = {{stdoutHeld_ ? -1 : outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  // Short rounds so a caller's condition on the exit status is seen soon after the exit.
  if (::poll(fds, 2, int(std::clamp<long long>(left.count(), 0, 20))) <= 0) {
    return;
  }
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) {
      continue;
    }
    char buffer[4096];
    const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
    if (got > 0) {
      const std::string_view chunk(buffer, std::size_t(got));
      const std::size_t dropped = i == 0 ? std::min(fillerToDrop_, chunk.size()) : 0;
      fillerToDrop_ -= dropped;
      (i == 0 ? out_ : err_).append(chunk.substr(dropped));
    } else if (got == 0 || errno != EINTR) {
      closeIfOpen(i == 0 ? outFd_ : errFd_);
    }
  }
}

bool ChildProcess::waitFor(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    pump(deadline);
  }
  return true;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  const bool ended = waitFor([this] { return outFd_ < 0 && errFd_ < 0 && exited(); }, timeout);
  if (!ended || !WIFEXITED(*rawStatus_)) {
    return std::nullopt;
  }
  return WEXITSTATUS(*rawStatus_);
}

} // namespace quorbel::testing
