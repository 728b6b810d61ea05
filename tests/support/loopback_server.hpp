#pragma once

#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorbel::testing {

// The one server the tests talk to: a TCP listener on 127.0.0.1, plain or TLS, served by a child
// process, so that a client that stalls cannot stall the server and the server cannot outlive the
// test. Each connection gets its head read and then its answer, any bytes at all, or none; the
// connection closes after it. Counters and the first request head live in memory shared with the
// child.
class LoopbackServer {
public:
  // The raw answer to connection i is script[i], the last one repeating; none: never answer.
  using Script = std::vector<std::string>;

  // With a `certificate`, TLS with that chain and its key beside it, as ".key".
  explicit LoopbackServer(Script script, std::filesystem::path certificate = {})
      : certificate_(std::move(certificate)) {
    void *memory =
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    shared_ = memory == MAP_FAILED ? throw std::runtime_error("mmap") : new (memory) Shared{};
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) ||
        ::listen(listener, 8)) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    authority_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    child_ = ::fork();
    if (child_ == 0) {
      serve(listener, script);
    }
    ::close(listener);
  }
  ~LoopbackServer() {
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
    ::munmap(shared_, sizeof(Shared));
  }
  LoopbackServer(const LoopbackServer &) = delete;
  LoopbackServer &operator=(const LoopbackServer &) = delete;

  // Reads the request and never answers, for as long as the server lives.
  static Script silent() { return {}; }

  std::string url(const std::string &path = "/api/oauth/usage") const {
    return (certificate_.empty() ? "http://" : "https://") + authority_ + path;
  }
  // "127.0.0.1:PORT", for a client that reaches the server under another name.
  const std::string &authority() const { return authority_; }
  int connections() const { return shared_->connections; }
  int requests() const { return shared_->requests; }
  // TLS connections that resumed an earlier session (from a ticket the server issued) rather than
  // making a full handshake.
  int resumed() const { return shared_->resumed; }
  // The first request head, byte for byte, cut to what the shared buffer keeps.
  std::string firstHead() const { return shared_->head; }

private:
  static constexpr std::size_t kKeptHeadBytes = 8 * 1024;
  // Then the child exits: a runaway client cannot keep it.
  static constexpr int kMaxConnections = 16;
  struct Shared {
    std::atomic<int> connections{0};
    std::atomic<int> requests{0};
    std::atomic<int> resumed{0};
    char head[kKeptHeadBytes]{};
  };

  [[noreturn]] void serve(int listener, const Script &script) {
    // Ends with the test even if the test dies before it can kill this process.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A client that hangs up must end the answer, not this process.
    std::signal(SIGPIPE, SIG_IGN);
    SSL_CTX *context = nullptr;
    if (!certificate_.empty()) {
      context = ::SSL_CTX_new(::TLS_server_method());
      const auto key = std::filesystem::path(certificate_).replace_extension(".key");
      if (context == nullptr ||
          ::SSL_CTX_use_certificate_chain_file(context, certificate_.c_str()) != 1 ||
          ::SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        ::_exit(1);
      }
    }
    for (std::size_t index = 0; index < kMaxConnections; ++index) {
      const int connection = ::accept(listener, nullptr, nullptr);
      if (connection < 0) {
        continue;
      }
      ++shared_->connections;
      SSL *tls = context ? ::SSL_new(context) : nullptr;
      if (tls && (::SSL_set_fd(tls, connection) != 1 || ::SSL_accept(tls) != 1)) {
        ::SSL_free(tls);
        ::close(connection);
        continue;
      }
      // OpenSSL's server issues session tickets by default, all under this one context's key.
      if (tls && ::SSL_session_reused(tls) == 1) {
        ++shared_->resumed;
      }
      const std::string head = readHead(connection, tls);
      if (head.find("\r\n\r\n") != std::string::npos && shared_->requests++ == 0) {
        std::memcpy(shared_->head, head.data(), std::min(head.size(), kKeptHeadBytes - 1));
      }
      if (script.empty()) {
        ::pause();
      }
      std::string_view reply = script[std::min(index, script.size() - 1)];
      while (!reply.empty()) {
        const long sent = tls ? ::SSL_write(tls, reply.data(), int(reply.size()))
                              : ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
          break;
        }
        reply.remove_prefix(std::size_t(sent));
      }
      if (tls) {
        ::SSL_shutdown(tls);
        ::SSL_free(tls);
      }
      ::shutdown(connection, SHUT_RDWR);
      ::close(connection);
    }
    ::_exit(0);
  }

  static std::string readHead(int connection, SSL *tls) {
    std::string head;
    char chunk[4096];
    long got = 0;
    while (head.find("\r\n\r\n") == std::string::npos &&
           (got = tls ? ::SSL_read(tls, chunk, sizeof chunk)
                      : ::read(connection, chunk, sizeof chunk)) > 0) {
      head.append(chunk, std::size_t(got));
    }
    return head;
  }

  std::filesystem::path certificate_;
  Shared *shared_ = nullptr;
  std::string authority_;
  pid_t child_ = -1;
};

// An HTTP/1.1 answer with a length and no keep-alive, as the endpoint would send it.
inline std::string httpReply(int status, const std::string &body,
                             const std::string &extraHeaders = "") {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n" + extraHeaders + "Connection: close\r\n\r\n" + body;
}

} // namespace quorbel::testing
