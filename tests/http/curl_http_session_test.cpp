// What the helper's one HTTP session keeps from one request to the next.
#include "http/curl_http_session_linux.hpp"
#include "support/loopback_server.hpp"
#include "support/test_pki.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using namespace std::chrono_literals;

// The server issues tickets as OpenSSL's does by default, so each fetch after the first resumes
// a session and skips the certificate chain; a host the session has not met makes a full one.
TEST(CurlHttpSession, LaterFetchesResumeTheFirstsTlsSession) {
  const testing::ScopedTempDir pki;
  testing::makeServerCertificate(pki.path(), "DNS:status.claude.com,DNS:api.anthropic.com");
  const testing::LoopbackServer server({testing::httpReply(200, "{}")}, pki / "server.pem");
  const auto session =
      CurlHttpSession::forLoopback({.trustedCaFile = pki / "ca.pem",
                                    .connectTo = {"status.claude.com:443:" + server.authority(),
                                                  "api.anthropic.com:443:" + server.authority()}});
  const struct {
    const char *url;
    int resumed; // so far
  } fetches[] = {
      {"https://status.claude.com/a", 0}, {"https://status.claude.com/b", 1},
      {"https://api.anthropic.com/c", 1}, {"https://status.claude.com/d", 2},
      {"https://api.anthropic.com/e", 3},
  };
  for (const auto &fetch : fetches) {
    SCOPED_TRACE(fetch.url);
    EXPECT_EQ(session->get({fetch.url, {}, 5s}).status, 200);
    EXPECT_EQ(server.resumed(), fetch.resumed);
  }
  EXPECT_EQ(server.connections(), int(std::size(fetches)));
}

} // namespace
} // namespace quorbel
