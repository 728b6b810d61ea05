#include "app/child_process.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace quorbel::testing {

namespace {

// Pointers into `values`, ended by a null one, as execve() takes them.
std::vector<char *> cStrings(std::vector<std::string> &values) {
  std::vector<char *> pointers(values.size() + 1, nullptr);
  std::transform(values.begin(), values.end(), pointers.begin(), [](auto &v) { return v.data(); });
  return pointers;
}

void closeIfOpen(int &fd) {
  if (fd >= 0) {
    ::close(std::exchange(fd, -1));
  }
}

} // namespace

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &environment,
                           Options options) {
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot make the output pipes");
  }
  if (options.stdoutRoom) {
    // The smallest pipe is one page, so the filler and the room are exact byte counts.
    ::fcntl(outPipe[1], F_SETPIPE_SZ, 4096);
    const std::size_t capacity = std::size_t(std::max(::fcntl(outPipe[1], F_GETPIPE_SZ), 0));
    fillerToDrop_ = capacity - std::min(capacity, *options.stdoutRoom);
    const std::string filler(fillerToDrop_, '#');
    if (capacity <= *options.stdoutRoom ||
        ::write(outPipe[1], filler.data(), filler.size()) != ssize_t(filler.size())) {
      throw std::runtime_error("cannot fill the standard output pipe");
    }
    stdoutHeld_ = true;
  }
  std::vector<std::string> argvStrings{program};
  argvStrings.insert(argvStrings.end(), options.arguments.begin(), options.arguments.end());
  std::vector<std::string> envStrings = environment;
  const auto argv = cStrings(argvStrings);
  const auto envp = cStrings(envStrings);

  pid_ = ::fork();
  if (pid_ < 0) {
    throw std::runtime_error("cannot fork");
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
std::optional<int> ChildProcess::endWith(int signal, std::chrono::milliseconds timeout) {
  sendSignal(signal);
  return waitForExit(timeout);
}
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
  ::poll(fds, 2, int(std::clamp<long long>(left.count(), 0, 20)));
  for (int i = 0; i < 2; ++i) {
    char buffer[4096];
    const ssize_t got = fds[i].revents != 0 ? ::read(fds[i].fd, buffer, sizeof buffer) : -1;
    if (got > 0) {
      const std::size_t dropped = i == 0 ? std::min(fillerToDrop_, std::size_t(got)) : 0;
      fillerToDrop_ -= dropped;
      (i == 0 ? out_ : err_).append(buffer + dropped, std::size_t(got) - dropped);
    } else if (fds[i].revents != 0 && (got == 0 || errno != EINTR)) {
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

bool ChildProcess::waitForOutput(const std::string &text, std::chrono::milliseconds timeout) {
  return waitFor([&] { return out_.find(text) != std::string::npos; }, timeout);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  const bool ended = waitFor([this] { return outFd_ < 0 && errFd_ < 0 && exited(); }, timeout);
  if (!ended || !WIFEXITED(*rawStatus_)) {
    return std::nullopt;
  }
  return WEXITSTATUS(*rawStatus_);
}

std::unique_ptr<ChildProcess> startHelper(const std::filesystem::path &root,
                                          std::vector<std::string> environment,
                                          ChildProcess::Options options, bool asksServicePage) {
  std::filesystem::create_directories(root / "tmp");
  if (!asksServicePage) {
    options.arguments.insert(options.arguments.begin(), "--no-service-status");
  }
  const auto dir = [&root](const char *name) { return (root / name).string(); };
  environment.insert(environment.end(), {"HOME=" + dir("home"), "XDG_DATA_HOME=" + dir("data"),
                                         "TMPDIR=" + dir("tmp"), "PATH=" + dir("bin")});
  return std::make_unique<ChildProcess>(QUORBEL_HELPER_BINARY, environment, std::move(options));
}

} // namespace quorbel::testing
