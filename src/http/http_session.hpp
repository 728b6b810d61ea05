#pragma once

#include "http/transport_error.hpp"

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace quorbel {

struct HttpGetRequest {
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers; // sent in this order
  std::chrono::milliseconds timeout;                        // for the whole exchange
};

struct HttpResponse {
  long status = 0;
  // Collected for a 200 answer only. Any other answer's body is dropped unread, so that neither
  // its size nor its content can change how the status is classified.
  std::string body;
  // The server's Retry-After, in seconds from now, when it sent one (either form).
  std::optional<double> retryAfter{};
};

// Thrown when no HTTP status could be read: the transport failed or the answer was not HTTP.
class HttpTransportFailure : public std::exception {
public:
  explicit HttpTransportFailure(TransportError error)
      : error_(std::move(error)), message_(error_.describe()) {}

  const TransportError &error() const { return error_; }
  const char *what() const noexcept override { return message_.c_str(); }

private:
  TransportError error_;
  std::string message_;
};

// The HTTP transport: one GET at a time, nothing followed, nothing retried.
class HttpSession {
public:
  virtual ~HttpSession() = default;
  virtual HttpResponse get(const HttpGetRequest &request) = 0;

  // From now on a request under way ends within about a second of `stop` being requested, and
  // later requests end before sending anything; both throw HttpTransportFailure of kind cancelled.
  virtual void cancelOn(std::stop_token stop) = 0;
};

// Answers larger than this are not usage reports; they fail as a transport error.
inline constexpr std::size_t kMaxResponseBodyBytes = 1024 * 1024;

// Process-wide set-up for the HTTP transport: initialises the library and ignores SIGPIPE, since a
// peer closing a socket must not kill the helper. Call once at start-up, before any thread starts;
// later calls do nothing.
void initHttpGlobal();

// The one HTTP session of the process, made on first use and kept for its life, so that
// connections, TLS sessions and the loaded trust store carry over from one request to the next.
std::shared_ptr<HttpSession> sharedHttpSession();

} // namespace quorbel
