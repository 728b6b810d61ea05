#include "source/curl_http_session_linux.hpp"

#include "source/raw_loopback_server.hpp"
#include "support/running_http_server.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <future>
#include <optional>
#include <string>
#include <thread>
#include <variant>

namespace quorbel {
namespace {

using namespace std::chrono_literals;

constexpr const char *kSecret = "secret-bearer-value";

HttpGetRequest requestFor(std::string url, std::chrono::milliseconds timeout = 5s) {
  return HttpGetRequest{
      std::move(url), {{"Authorization", std::string("Bearer ") + kSecret}}, timeout};
}

std::shared_ptr<CurlHttpSession> plainHttpSession() {
  return CurlHttpSession::forLoopback({.allowPlainHttp = true, .trustedCaFile = {}});
}

// The outcome of one GET: a response, or the transport error it failed with.
std::variant<HttpResponse, TransportError> outcome(HttpSession &session,
                                                   const HttpGetRequest &request) {
  try {
    return session.get(request);
  } catch (const HttpTransportFailure &failure) {
    // Whatever libcurl says, the credentials it was sending never show in the error.
    EXPECT_EQ(failure.error().describe().find(kSecret), std::string::npos);
    return failure.error();
  }
}

TEST(CurlHttpSessionTest, MapsBrokenExchangesToTransportKinds) {
  struct Case {
    const char *name;
    std::optional<std::string> reply; // nothing: the server never answers
    TransportError::Kind kind;
  };
  const Case cases[] = {
      {"not HTTP", std::string("SSH-2.0-OpenSSH_9.2\r\n"), TransportError::Kind::badServerResponse},
      {"closed without a word", std::string(), TransportError::Kind::badServerResponse},
      {"never answers", std::nullopt, TransportError::Kind::timedOut},
  };
  const auto session = plainHttpSession();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto server =
        c.reply
            ? std::make_unique<testing::RawLoopbackServer>(*c.reply)
            : std::make_unique<testing::RawLoopbackServer>(testing::RawLoopbackServer::Silent{});
    const auto result = outcome(*session, requestFor(server->url("/"), 300ms));
    ASSERT_TRUE(std::holds_alternative<TransportError>(result));
    EXPECT_EQ(std::get<TransportError>(result).kind, c.kind)
        << std::get<TransportError>(result).text;
    EXPECT_FALSE(std::get<TransportError>(result).text.empty());
  }
}

TEST(CurlHttpSessionTest, RefusedConnectionCannotConnectToHost) {
  const std::string url = [] {
    const testing::RawLoopbackServer closed("");
    return closed.url("/");
  }();
  const auto session = plainHttpSession();
  const auto result = outcome(*session, requestFor(url));
  ASSERT_TRUE(std::holds_alternative<TransportError>(result));
  EXPECT_EQ(std::get<TransportError>(result).kind, TransportError::Kind::cannotConnectToHost);
}

TEST(CurlHttpSessionTest, RefusesWhatCouldLeakTheToken) {
  const testing::RawLoopbackServer server("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  struct Case {
    const char *name;
    std::shared_ptr<CurlHttpSession> session;
    HttpGetRequest request;
  };
  const Case cases[] = {
      // The helper's own session speaks https only.
      {"plain http", std::make_shared<CurlHttpSession>(), requestFor(server.url("/"))},
      {"line break in a value", plainHttpSession(),
       HttpGetRequest{server.url("/"), {{"Authorization", "Bearer x\r\nX-Injected: 1"}}, 5s}},
      {"line break in a name", plainHttpSession(),
       HttpGetRequest{server.url("/"), {{"X-A\nB", "1"}}, 5s}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = outcome(*c.session, c.request);
    ASSERT_TRUE(std::holds_alternative<TransportError>(result));
    EXPECT_EQ(std::get<TransportError>(result).kind, TransportError::Kind::other);
  }
  EXPECT_EQ(server.connections(), 0);
}

TEST(CurlHttpSessionTest, AStopEndsARequestUnderWayAndSendsNoMore) {
  struct Case {
    const char *name;
    bool stopFirst;
  };
  for (const Case c : {Case{"stop during the request", false}, Case{"stop before it", true}}) {
    SCOPED_TRACE(c.name);
    const testing::RawLoopbackServer server(testing::RawLoopbackServer::Silent{});
    const auto session = plainHttpSession();
    std::stop_source stop;
    session->cancelOn(stop.get_token());
    if (c.stopFirst) {
      stop.request_stop();
    }
    auto result = std::async(std::launch::async,
                             [&] { return outcome(*session, requestFor(server.url("/"), 30s)); });
    if (!c.stopFirst) {
      for (auto deadline = std::chrono::steady_clock::now() + 5s;
           server.requests().empty() && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(5ms);
      }
      ASSERT_EQ(server.requests().size(), 1u);
      stop.request_stop();
    }
    // libcurl asks about once a second; far less than the 30 s time-out.
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    const auto outcome = result.get();
    ASSERT_TRUE(std::holds_alternative<TransportError>(outcome));
    EXPECT_EQ(std::get<TransportError>(outcome).kind, TransportError::Kind::cancelled);
    EXPECT_EQ(server.connections(), c.stopFirst ? 0 : 1);
  }
}

class BodyServer {
public:
  explicit BodyServer(std::function<void(httplib::Response &)> answer) {
    server_.Get("/",
                [answer = std::move(answer)](const httplib::Request &,
                                             httplib::Response &response) { answer(response); });
    server_.set_keep_alive_max_count(1);
    running_.emplace(server_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(running_->port()) + "/"; }

private:
  httplib::Server server_;
  // Last, so the server stops before the members its handlers use are gone.
  std::optional<testing::RunningHttpServer> running_;
};

// An endless body of unannounced length, the case a declared size limit does not catch.
void endlessChunks(int status, httplib::Response &response) {
  response.status = status;
  response.set_chunked_content_provider("application/json", [](size_t, httplib::DataSink &sink) {
    static const std::string chunk(64 * 1024, ' ');
    return sink.write(chunk.data(), chunk.size());
  });
}

TEST(CurlHttpSessionTest, CapsTheBodyOfAGoodAnswerOnly) {
  struct Case {
    const char *name;
    std::function<void(httplib::Response &)> answer;
    std::optional<long> status; // nothing: a transport error
    std::size_t bodySize = 0;
  };
  const auto sized = [](int status, std::size_t size) {
    return [status, size](httplib::Response &response) {
      response.status = status;
      response.set_content(std::string(size, ' '), "application/json");
    };
  };
  const Case cases[] = {
      {"at the cap", sized(200, kMaxResponseBodyBytes), 200, kMaxResponseBodyBytes},
      {"a byte over the cap", sized(200, kMaxResponseBodyBytes + 1), std::nullopt},
      {"endless", [](httplib::Response &r) { endlessChunks(200, r); }, std::nullopt},
      // A status needs no body: however large, it must not turn into a transport error.
      {"401 over the cap", sized(401, kMaxResponseBodyBytes + 1), 401, 0},
      {"429 endless", [](httplib::Response &r) { endlessChunks(429, r); }, 429, 0},
  };
  const auto session = plainHttpSession();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const BodyServer server(c.answer);
    const auto result = outcome(*session, requestFor(server.url()));
    if (c.status) {
      ASSERT_TRUE(std::holds_alternative<HttpResponse>(result));
      EXPECT_EQ(std::get<HttpResponse>(result).status, *c.status);
      EXPECT_EQ(std::get<HttpResponse>(result).body.size(), c.bodySize);
    } else {
      ASSERT_TRUE(std::holds_alternative<TransportError>(result));
      EXPECT_EQ(std::get<TransportError>(result).kind, TransportError::Kind::other);
    }
  }
}

} // namespace
} // namespace quorbel
