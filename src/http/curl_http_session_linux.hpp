#pragma once

#include "http/http_session.hpp"

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorbel {

// The HTTP transport over libcurl: one easy handle reused for every request, so that libcurl's
// connection cache, TLS session cache and trust-store cache survive between requests. Only https
// is allowed, peers are verified, redirects are not followed and proxies come from the
// environment as libcurl reads them. Requests are serialised; the helper sends one per tick.
class CurlHttpSession final : public HttpSession {
public:
  CurlHttpSession();
  ~CurlHttpSession() override;

  CurlHttpSession(const CurlHttpSession &) = delete;
  CurlHttpSession &operator=(const CurlHttpSession &) = delete;

  // Only for tests and the benchmark, which talk to servers they start on the loopback interface;
  // nothing in the helper sets these.
  struct LoopbackOptions {
    bool allowPlainHttp = false;
    std::filesystem::path trustedCaFile = {}; // empty: the system's trust store
    // libcurl's "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT" entries, so a test reaches its server
    // under a real host name, which the certificate and the TLS session are checked against.
    std::vector<std::string> connectTo = {};
  };
  static std::shared_ptr<CurlHttpSession> forLoopback(const LoopbackOptions &options);

  HttpResponse get(const HttpGetRequest &request) override;
  void cancelOn(std::stop_token stop) override;

private:
  explicit CurlHttpSession(const LoopbackOptions *loopback);

  struct Handle;
  std::unique_ptr<Handle> handle_;
  bool allowPlainHttp_ = false;
  std::stop_token stop_;
  std::mutex mutex_;
};

} // namespace quorbel
