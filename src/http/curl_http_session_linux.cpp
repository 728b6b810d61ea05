#include "http/curl_http_session_linux.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorbel {

namespace {

constexpr long kCaCacheLifetimeSeconds = 24 * 60 * 60;
constexpr int kLongestPollMs = 1000;

std::once_flag globalInitOnce;

struct Transfer {
  CURL *curl = nullptr;
  std::string body;
  bool bodyTooLarge = false;
  bool bodyDropped = false;
};

size_t collectBody(char *data, size_t size, size_t count, void *user) {
  auto &transfer = *static_cast<Transfer *>(user);
  const size_t bytes = size * count;
  long status = 0;
  curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    // The status is all we need; stopping here means no body, however long, delays the answer.
    transfer.bodyDropped = true;
    return 0;
  }
  // Checked here because CURLOPT_MAXFILESIZE does not stop a body of unannounced length.
  if (transfer.body.size() + bytes > kMaxResponseBodyBytes) {
    transfer.bodyTooLarge = true;
    return 0;
  }
  transfer.body.append(data, bytes);
  return bytes;
}

// Runs the transfer on the session's multi handle rather than through curl_easy_perform, so that
// a stop wakes the wait at once (curl_multi_wakeup is safe from any thread) instead of at libcurl's
// next progress call, up to a second later. Removing the handle mid-transfer abandons it.
CURLcode performUnlessStopped(CURLM *multi, CURL *curl, const std::stop_token &stop,
                              bool &stopped) {
  if (curl_multi_add_handle(multi, curl) != CURLM_OK) {
    return CURLE_FAILED_INIT;
  }
  const std::stop_callback wake(stop, [multi] { curl_multi_wakeup(multi); });
  CURLcode result = CURLE_FAILED_INIT;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      break;
    }
    if (running == 0) {
      int left = 0;
      if (const CURLMsg *message = curl_multi_info_read(multi, &left);
          message != nullptr && message->msg == CURLMSG_DONE) {
        result = message->data.result;
      }
      break;
    }
    if (stop.stop_requested()) {
      stopped = true;
      break;
    }
    // libcurl shortens the wait to its own next time-out.
    if (curl_multi_poll(multi, nullptr, 0, kLongestPollMs, nullptr) != CURLM_OK) {
      break;
    }
  }
  curl_multi_remove_handle(multi, curl);
  return result;
}

HttpTransportFailure cancelled() {
  return HttpTransportFailure(
      TransportError{TransportError::Kind::cancelled, "request abandoned: the helper is stopping"});
}

TransportError::Kind transportKind(CURLcode code) {
  switch (code) {
  case CURLE_OPERATION_TIMEDOUT:
    return TransportError::Kind::timedOut;
  case CURLE_COULDNT_RESOLVE_HOST:
  case CURLE_COULDNT_RESOLVE_PROXY:
    return TransportError::Kind::notConnectedToInternet;
  case CURLE_COULDNT_CONNECT:
    return TransportError::Kind::cannotConnectToHost;
  case CURLE_WEIRD_SERVER_REPLY:
  case CURLE_GOT_NOTHING:
  case CURLE_UNSUPPORTED_PROTOCOL: // also what an answer without a status line gives
  case CURLE_HTTP2:
  case CURLE_HTTP2_STREAM:
    return TransportError::Kind::badServerResponse;
  default:
    return TransportError::Kind::other;
  }
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) {
    return false;
  }
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
      return false;
    }
  }
  return true;
}

bool breaksHeaderLine(const std::string &text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

template <typename Value> void setOption(CURL *curl, CURLoption option, Value value) {
  const CURLcode result = curl_easy_setopt(curl, option, value);
  if (result != CURLE_OK) {
    throw std::runtime_error(std::string("libcurl option rejected: ") + curl_easy_strerror(result));
  }
}

} // namespace

void initHttpGlobal() {
  std::call_once(globalInitOnce, [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::signal(SIGPIPE, SIG_IGN);
  });
}

std::shared_ptr<HttpSession> sharedHttpSession() {
  static const std::shared_ptr<HttpSession> session = std::make_shared<CurlHttpSession>();
  return session;
}

struct CurlHttpSession::Handle {
  CURL *curl = nullptr;
  // Kept for the session's life: the trust-store and TLS session caches live here.
  CURLM *multi = nullptr;
  curl_slist *connectTo = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  ~Handle() {
    if (curl != nullptr) {
      curl_easy_cleanup(curl);
    }
    if (multi != nullptr) {
      curl_multi_cleanup(multi);
    }
    curl_slist_free_all(connectTo);
  }
};

CurlHttpSession::CurlHttpSession() : CurlHttpSession(nullptr) {}

CurlHttpSession::CurlHttpSession(const LoopbackOptions *loopback)
    : handle_(std::make_unique<Handle>()) {
  initHttpGlobal();
  handle_->curl = curl_easy_init();
  handle_->multi = curl_multi_init();
  if (handle_->curl == nullptr || handle_->multi == nullptr) {
    throw std::runtime_error("libcurl could not create a handle");
  }
  CURL *curl = handle_->curl;
  allowPlainHttp_ = loopback != nullptr && loopback->allowPlainHttp;
  const char *protocols = allowPlainHttp_ ? "http,https" : "https";
  setOption(curl, CURLOPT_PROTOCOLS_STR, protocols);
  setOption(curl, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
  // A redirect is reported as its status; the bearer token never goes anywhere else.
  setOption(curl, CURLOPT_FOLLOWLOCATION, 0L);
  setOption(curl, CURLOPT_NOSIGNAL, 1L);
  // Polls are 180 s apart and libcurl retires connections idle for 118 s, so a kept connection is
  // never reused: it would only hold a socket open until the next poll throws it away. TLS
  // sessions and the trust store are cached apart from connections and still carry over.
  setOption(curl, CURLOPT_FORBID_REUSE, 1L);
  setOption(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  setOption(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  // Debian's libcurl also sets a CA directory by default, and libcurl caches the parsed trust
  // store only when it comes from the bundle file alone; without this every poll re-reads and
  // re-parses the whole bundle, roughly fifteen times the CPU of the rest of the request.
  setOption(curl, CURLOPT_CAPATH, static_cast<const char *>(nullptr));
  setOption(curl, CURLOPT_CA_CACHE_TIMEOUT, kCaCacheLifetimeSeconds);
  setOption(curl, CURLOPT_HTTPGET, 1L);
  setOption(curl, CURLOPT_ERRORBUFFER, handle_->errorBuffer);
  setOption(curl, CURLOPT_WRITEFUNCTION, &collectBody);
  if (loopback != nullptr) {
    if (!loopback->trustedCaFile.empty()) {
      setOption(curl, CURLOPT_CAINFO, loopback->trustedCaFile.c_str());
    }
    // A proxy from the environment must not intercept a test's own loopback server.
    setOption(curl, CURLOPT_PROXY, "");
    for (const std::string &entry : loopback->connectTo) {
      curl_slist *grown = curl_slist_append(handle_->connectTo, entry.c_str());
      if (grown == nullptr) {
        throw std::bad_alloc();
      }
      handle_->connectTo = grown;
    }
    setOption(curl, CURLOPT_CONNECT_TO, handle_->connectTo);
  }
}

CurlHttpSession::~CurlHttpSession() = default;

std::shared_ptr<CurlHttpSession> CurlHttpSession::forLoopback(const LoopbackOptions &options) {
  return std::shared_ptr<CurlHttpSession>(new CurlHttpSession(&options));
}

void CurlHttpSession::cancelOn(std::stop_token stop) {
  const std::lock_guard lock(mutex_);
  stop_ = std::move(stop);
}

HttpResponse CurlHttpSession::get(const HttpGetRequest &request) {
  const std::lock_guard lock(mutex_);
  CURL *curl = handle_->curl;
  if (stop_.stop_requested()) {
    throw cancelled();
  }

  // libcurl refuses other schemes too, but under a code it shares with garbled answers.
  if (!startsWithIgnoringCase(request.url, "https://") &&
      !(allowPlainHttp_ && startsWithIgnoringCase(request.url, "http://"))) {
    throw HttpTransportFailure(
        TransportError{TransportError::Kind::other, "URL scheme not allowed: " + request.url});
  }

  curl_slist *headers = nullptr;
  for (const auto &[name, value] : request.headers) {
    // A line break in a value would smuggle extra header lines into the request.
    if (breaksHeaderLine(name) || breaksHeaderLine(value)) {
      curl_slist_free_all(headers);
      throw HttpTransportFailure(TransportError{TransportError::Kind::other,
                                                "header \"" + name + "\" holds a line break"});
    }
    curl_slist *grown = curl_slist_append(headers, (name + ": " + value).c_str());
    if (grown == nullptr) {
      curl_slist_free_all(headers);
      throw std::bad_alloc();
    }
    headers = grown;
  }

  Transfer transfer;
  transfer.curl = curl;
  bool stopped = false;
  handle_->errorBuffer[0] = '\0';
  // A zero time-out would mean none at all to libcurl.
  const long timeoutMs = std::max<long>(1, static_cast<long>(request.timeout.count()));
  CURLcode result = curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  if (result == CURLE_OK) {
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    result = performUnlessStopped(handle_->multi, curl, stop_, stopped);
  }
  // The handle outlives this list; it must not keep pointing at it.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist *>(nullptr));
  curl_slist_free_all(headers);

  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  // libcurl reads both forms, seconds and an HTTP date, and gives 0 when there was none; a
  // "Retry-After: 0" asks for no wait, which is the same for us.
  curl_off_t retryAfter = 0;
  curl_easy_getinfo(curl, CURLINFO_RETRY_AFTER, &retryAfter);
  const std::optional<double> retryAfterSeconds =
      retryAfter > 0 ? std::optional<double>(double(retryAfter)) : std::nullopt;
  if (result == CURLE_WRITE_ERROR && transfer.bodyDropped) {
    return HttpResponse{status, {}, retryAfterSeconds};
  }
  if (result == CURLE_WRITE_ERROR && transfer.bodyTooLarge) {
    throw HttpTransportFailure(TransportError{
        TransportError::Kind::other,
        "response body larger than " + std::to_string(kMaxResponseBodyBytes) + " bytes"});
  }
  if (stopped) {
    throw cancelled();
  }
  if (result != CURLE_OK) {
    std::string text = handle_->errorBuffer[0] != '\0' ? std::string(handle_->errorBuffer)
                                                       : std::string(curl_easy_strerror(result));
    throw HttpTransportFailure(TransportError{transportKind(result), std::move(text)});
  }
  if (status == 0) {
    throw HttpTransportFailure(
        TransportError{TransportError::Kind::badServerResponse, "no HTTP status in the answer"});
  }
  return HttpResponse{status, std::move(transfer.body), retryAfterSeconds};
}

} // namespace quorbel
