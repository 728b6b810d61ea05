#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quorbel::testing {

// A TCP server on 127.0.0.1 that records each request head byte for byte and answers with fixed
// bytes, or never answers at all. For what an HTTP server library would tidy away: header order,
// answers that are not HTTP, peers that go silent.
class RawLoopbackServer {
public:
  struct Silent {};

  explicit RawLoopbackServer(std::string reply) : reply_(std::move(reply)) { start(); }
  explicit RawLoopbackServer(Silent) : silent_(true) { start(); }
  // Serves a listening socket made elsewhere (e.g. in another network namespace), taking it over.
  RawLoopbackServer(Silent, int listener) : silent_(true), listener_(listener) { start(); }

  ~RawLoopbackServer() {
    const char stop = 's';
    [[maybe_unused]] const ssize_t ignored = write(stopPipe_[1], &stop, 1);
    thread_.join();
    close(listener_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
  }

  RawLoopbackServer(const RawLoopbackServer &) = delete;
  RawLoopbackServer &operator=(const RawLoopbackServer &) = delete;

  std::string url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  std::vector<std::string> requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
  }
  int connections() const { return connections_; }

private:
  void start() {
    if (pipe(stopPipe_) != 0) {
      throw std::runtime_error("pipe");
    }
    if (listener_ >= 0) {
      thread_ = std::thread([this] { serve(); });
      return;
    }
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }

  // Waits for `fd` to become readable; false once the server is being stopped.
  bool waitReadable(int fd) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    while (poll(fds, 2, -1) < 0) {
    }
    return (fds[1].revents & POLLIN) == 0;
  }

  void serve() {
    while (waitReadable(listener_)) {
      const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) {
        continue;
      }
      ++connections_;
      std::string head;
      char chunk[4096];
      while (head.find("\r\n\r\n") == std::string::npos && waitReadable(connection)) {
        const ssize_t count = read(connection, chunk, sizeof chunk);
        if (count <= 0) {
          break;
        }
        head.append(chunk, static_cast<std::size_t>(count));
      }
      {
        const std::lock_guard lock(mutex_);
        requests_.push_back(head);
      }
      if (silent_) {
        waitReadable(stopPipe_[0]);
      } else {
        [[maybe_unused]] const ssize_t ignored = write(connection, reply_.data(), reply_.size());
        shutdown(connection, SHUT_RDWR);
      }
      close(connection);
    }
  }

  std::string reply_;
  bool silent_ = false;
  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

} // namespace quorbel::testing
