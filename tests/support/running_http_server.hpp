#pragma once

#include <httplib.h>

#include <thread>

namespace quorbel::testing {

// Runs a configured cpp-httplib server (plain or TLS) on an ephemeral 127.0.0.1 port for as long
// as it lives. Declare it after the server it runs, so it stops the server before the server goes.
class RunningHttpServer {
public:
  explicit RunningHttpServer(httplib::Server &server) : server_(server) {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is a no-op until the accept loop runs; a test that sends nothing must still end.
    while (!server_.is_running()) {
      std::this_thread::yield();
    }
  }
  ~RunningHttpServer() {
    server_.stop();
    thread_.join();
  }
  RunningHttpServer(const RunningHttpServer &) = delete;
  RunningHttpServer &operator=(const RunningHttpServer &) = delete;

  int port() const { return port_; }

private:
  httplib::Server &server_;
  int port_ = 0;
  std::thread thread_;
};

} // namespace quorbel::testing
