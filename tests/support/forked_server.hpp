#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorbel::testing {

// Writes all of `bytes`; false once the client has gone.
inline bool writeAll(int connection, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(connection, bytes.data(), bytes.size());
    if (written <= 0) {
      return false;
    }
    bytes.remove_prefix(std::size_t(written));
  }
  return true;
}

// A raw TCP server in a child process: its buffers and sockets never count in this process's
// resident size or descriptors, and a peer that stalls cannot stall the test. Each connection gets
// its request head read, then `answer` writes whatever it likes to the socket; the connection is
// closed after it. Counters live in memory shared with the child.
class ForkedServer {
public:
  using Answer = std::function<void(int connection)>;

  // Request heads holding `watched` are counted in watched(). After `maxConnections` the child
  // exits, so a runaway client cannot keep it busy.
  explicit ForkedServer(Answer answer, std::string watched = {}, int maxConnections = 4,
                        const char *address = "127.0.0.1")
      : watched_(std::move(watched)), maxConnections_(maxConnections) {
    counters_ = static_cast<Counters *>(::mmap(nullptr, sizeof(Counters), PROT_READ | PROT_WRITE,
                                               MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (counters_ == MAP_FAILED) {
      throw std::runtime_error("mmap");
    }
    new (counters_) Counters{};
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socklen_t length = sizeof socketAddress;
    if (listener < 0 || ::inet_pton(AF_INET, address, &socketAddress.sin_addr) != 1 ||
        ::bind(listener, reinterpret_cast<sockaddr *>(&socketAddress), length) != 0 ||
        ::listen(listener, 8) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&socketAddress), &length) != 0) {
      if (listener >= 0) {
        ::close(listener);
      }
      ::munmap(counters_, sizeof(Counters));
      throw std::runtime_error(std::string("cannot listen on ") + address);
    }
    authority_ = std::string(address) + ":" + std::to_string(ntohs(socketAddress.sin_port));
    child_ = ::fork();
    if (child_ == 0) {
      serve(listener, answer);
    }
    ::close(listener);
  }
  ~ForkedServer() {
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
    ::munmap(counters_, sizeof(Counters));
  }
  ForkedServer(const ForkedServer &) = delete;
  ForkedServer &operator=(const ForkedServer &) = delete;

  std::string url(const std::string &path = "/api/oauth/usage") const {
    return "http://" + authority_ + path;
  }
  int connections() const { return counters_->connections; }
  int requests() const { return counters_->requests; }
  int watched() const { return counters_->watched; }

private:
  struct Counters {
    std::atomic<int> connections{0};
    std::atomic<int> requests{0};
    std::atomic<int> watched{0};
  };
  static constexpr std::size_t kMaxHeadBytes = 64 * 1024;

  [[noreturn]] void serve(int listener, const Answer &answer) {
    // Ends with the test even if the test dies before it can kill this process.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A client that hangs up must end the answer, not this process.
    std::signal(SIGPIPE, SIG_IGN);
    for (int served = 0; served < maxConnections_; ++served) {
      const int connection = ::accept(listener, nullptr, nullptr);
      if (connection < 0) {
        continue;
      }
      ++counters_->connections;
      std::string head;
      char chunk[4096];
      ssize_t got = 0;
      while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHeadBytes &&
             (got = ::read(connection, chunk, sizeof chunk)) > 0) {
        head.append(chunk, std::size_t(got));
      }
      if (head.find("\r\n\r\n") != std::string::npos) {
        ++counters_->requests;
      }
      if (!watched_.empty() && head.find(watched_) != std::string::npos) {
        ++counters_->watched;
      }
      answer(connection);
      ::close(connection);
    }
    ::_exit(0);
  }

  std::string watched_;
  int maxConnections_;
  Counters *counters_ = nullptr;
  std::string authority_;
  pid_t child_ = -1;
};

// Writes `count` copies of `block`, stopping as soon as the client stops reading.
inline bool writeRepeated(int connection, const std::string &block, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!writeAll(connection, block)) {
      return false;
    }
  }
  return true;
}

} // namespace quorbel::testing
