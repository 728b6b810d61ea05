// The HTTP session and the refresh cycle against servers that lie about who they are, stall, cut
// answers short or try to exhaust memory. Every server runs on the loopback interface, started and
// stopped by the test; each case goes through one real tick of the refresh cycle, so both the
// provider's error and what the cycle does with it are checked.
#include "runtime/helper_runtime.hpp"
#include "source/credentials.hpp"
#include "source/curl_http_session_linux.hpp"
#include "source/live_plan_usage_provider.hpp"
#include "store/snapshot_store.hpp"
#include "support/capturing_log.hpp"
#include "support/forked_server.hpp"
#include "support/process_usage.hpp"
#include "support/running_http_server.hpp"
#include "support/secrets.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <variant>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::CapturingLog;
using testing::ForkedServer;
using testing::holdsSecret;
using testing::kFarFutureMilliseconds;
using testing::readFile;
using testing::residentKiB;
using testing::ScopedTempDir;
using testing::writeAll;
using testing::writeFile;
using testing::writeRepeated;

constexpr const char *kAccessToken = testing::kTestAccessToken;
constexpr const char *kRefreshToken = testing::kTestRefreshToken;
constexpr const char *kUsagePath = "/api/oauth/usage";
constexpr std::chrono::milliseconds kTimeout = 2s;
// How far past the time-out a stalled exchange may still be running before it counts as hung.
constexpr std::chrono::milliseconds kTimeoutSlack = 2s;
constexpr long kMemoryBoundKiB = 16 * 1024;

const std::string kGoodBody =
    R"({"five_hour":{"utilization":41.5,"resets_at":"2026-04-11T07:00:00.528743+00:00"},)"
    R"("seven_day":{"utilization":14,"resets_at":"2026-04-15T12:00:00+00:00"}})";

const std::string kAuthorization = std::string("Authorization: Bearer ") + kAccessToken;

class StubCredentials final : public CredentialsReading {
public:
  Credentials readCredentials() const override {
    Credentials credentials;
    credentials.claudeAiOauth.accessToken = kAccessToken;
    credentials.claudeAiOauth.refreshToken = kRefreshToken;
    credentials.claudeAiOauth.expiresAt = kFarFutureMilliseconds;
    credentials.claudeAiOauth.subscriptionType = "max";
    return credentials;
  }
};

// Passes the live provider's error on to the cycle unchanged, keeping a copy, so that one request
// shows both the provider's classification and the cycle's reaction to it.
class RecordingProvider final : public PlanUsageProvider {
public:
  explicit RecordingProvider(std::shared_ptr<PlanUsageProvider> inner) : inner_(std::move(inner)) {}
  PlanSnapshot fetch() override {
    try {
      return inner_->fetch();
    } catch (const PlanUsageError &error) {
      error_ = error;
      throw;
    }
  }
  double minimumInterval() const override { return inner_->minimumInterval(); }
  const std::optional<PlanUsageError> &error() const { return error_; }

private:
  std::shared_ptr<PlanUsageProvider> inner_;
  std::optional<PlanUsageError> error_;
};

// Resets the kernel's high-water mark of the resident size to the current size, so that a peak
// during one tick shows even when the memory is returned before the tick ends. Where the kernel
// refuses, the caller falls back to the size after the tick.
bool resetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return clear.good();
}

long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  return 0;
}

ino_t inodeOf(const std::filesystem::path &path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

PlanSnapshot seededSnapshot() {
  const Instant fetchedAt = instantFromUnixSeconds(1780000000);
  return PlanSnapshot{fetchedAt, PlanWindow{37, fetchedAt + 5h}, PlanWindow{13, fetchedAt + 168h},
                      "max",     "default_claude_max_20x",       PlanStatus::active};
}

// What one tick of the refresh cycle did against a server, over a store seeded with a good
// snapshot.
struct TickOutcome {
  std::optional<PlanUsageError> error;
  RefreshResult result;
  std::optional<PlanSnapshot> lastSnapshot;
  std::chrono::steady_clock::duration elapsed{};
  std::string fileBefore;
  std::string fileAfter;
  bool fileReplaced = false; // a save renames a new file into place, even with the same bytes
  std::string log;
  long peakGrowthKiB = 0;
};

TickOutcome tickOnce(std::shared_ptr<HttpSession> session, const std::string &url) {
  const ScopedTempDir temp;
  auto store = std::make_shared<SnapshotStore>(temp / "plan-snapshot.json");
  store->save(seededSnapshot());
  auto provider = std::make_shared<RecordingProvider>(std::make_shared<LivePlanUsageProvider>(
      std::make_shared<StubCredentials>(), std::move(session), "9.9.9", kDefaultExpiryMargin, url,
      kTimeout));
  CapturingLog log;
  HelperRuntime runtime(provider, store, kLiveMinimumInterval, log);
  runtime.seed();

  TickOutcome outcome;
  outcome.fileBefore = readFile(store->fileURL());
  const ino_t inodeBefore = inodeOf(store->fileURL());
  const long residentBefore = residentKiB();
  const bool peakReset = resetPeakResident();
  const auto start = std::chrono::steady_clock::now();
  runtime.tick();
  outcome.elapsed = std::chrono::steady_clock::now() - start;
  outcome.peakGrowthKiB = (peakReset ? peakResidentKiB() : residentKiB()) - residentBefore;
  outcome.fileAfter = readFile(store->fileURL());
  outcome.fileReplaced = inodeOf(store->fileURL()) != inodeBefore;
  outcome.error = provider->error();
  outcome.result = *runtime.lastResult();
  outcome.lastSnapshot = runtime.lastSnapshot();
  outcome.log = log.text();
  return outcome;
}

void expectError(const TickOutcome &outcome, PlanUsageError::Kind kind,
                 std::optional<TransportError::Kind> transport, long httpStatus) {
  ASSERT_TRUE(outcome.error) << outcome.log;
  EXPECT_EQ(kindName(outcome.error->kind()), kindName(kind)) << outcome.error->what();
  if (transport) {
    ASSERT_TRUE(outcome.error->transportError());
    EXPECT_EQ(kindName(outcome.error->transportError()->kind), kindName(*transport))
        << outcome.error->what();
  } else {
    EXPECT_EQ(outcome.error->httpStatus(), httpStatus);
  }
}

// A failed tick: the cycle reports a transient error, keeps its data and leaves the disk alone.
void expectTransientFailure(const TickOutcome &outcome, const std::string &textPrefix) {
  const auto *transient = std::get_if<refresh::TransientError>(&outcome.result);
  ASSERT_NE(transient, nullptr) << outcome.log;
  EXPECT_EQ(transient->text.rfind(textPrefix, 0), 0u) << transient->text;
  EXPECT_FALSE(holdsSecret(transient->text)) << transient->text;
  EXPECT_EQ(outcome.fileAfter, outcome.fileBefore);
  EXPECT_FALSE(outcome.fileReplaced);
  EXPECT_EQ(outcome.lastSnapshot, seededSnapshot());
  EXPECT_FALSE(holdsSecret(outcome.log)) << outcome.log;
  if (outcome.error) {
    EXPECT_FALSE(holdsSecret(outcome.error->what())) << outcome.error->what();
  }
}

ForkedServer::Answer fixed(std::string reply) {
  return [reply = std::move(reply)](int connection) {
    writeAll(connection, reply);
    ::shutdown(connection, SHUT_WR);
  };
}

std::string okHead(const std::string &framing) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + framing +
         "Connection: close\r\n\r\n";
}

std::shared_ptr<HttpSession> plainHttpSession() {
  return CurlHttpSession::forLoopback({.allowPlainHttp = true, .trustedCaFile = {}});
}

TEST(HostileServerTest, PlainHttpPeersEndInTransientErrors) {
  constexpr std::size_t kMiB = 1024 * 1024;
  // The one peer a redirect names; it must never be contacted. Another address than the one the
  // token was sent to, so the redirect is to another host.
  const ForkedServer elsewhere(
      fixed(okHead("Content-Length: " + std::to_string(kGoodBody.size()) + "\r\n") + kGoodBody), "",
      4, "127.0.0.2");

  struct Case {
    const char *name;
    ForkedServer::Answer answer;
    PlanUsageError::Kind kind;
    std::optional<TransportError::Kind> transport; // for network errors
    long httpStatus = 0;                           // for unexpected statuses
    std::string runtimeText;                       // how the cycle's result text begins
    bool endsByTimeout = false;
    bool boundsMemory = false;
  };
  const std::string oneKiB(1024, 'x');
  const Case cases[] = {
      {"drips its body a byte a second",
       [](int connection) {
         if (!writeAll(connection,
                       okHead("Content-Length: " + std::to_string(kGoodBody.size()) + "\r\n"))) {
           return;
         }
         for (const char byte : kGoodBody) {
           if (!writeAll(connection, std::string_view(&byte, 1))) {
             return;
           }
           std::this_thread::sleep_for(1s);
         }
       },
       PlanUsageError::Kind::network, TransportError::Kind::timedOut, 0, "network: timedOut", true},
      {"closes mid-body",
       fixed(okHead("Content-Length: " + std::to_string(kGoodBody.size() + 1000) + "\r\n") +
             kGoodBody),
       PlanUsageError::Kind::network, TransportError::Kind::other, 0, "network: other"},
      {"chunk size that is not hexadecimal",
       fixed(okHead("Transfer-Encoding: chunked\r\n") + "zz\r\n" + kGoodBody + "\r\n0\r\n\r\n"),
       PlanUsageError::Kind::network, TransportError::Kind::other, 0, "network: other"},
      {"chunk size beyond 64 bits",
       fixed(okHead("Transfer-Encoding: chunked\r\n") + "1" + std::string(16, '0') + "\r\n" +
             kGoodBody + "\r\n0\r\n\r\n"),
       PlanUsageError::Kind::network, TransportError::Kind::other, 0, "network: other"},
      {"chunked body closed before its last chunk",
       fixed(okHead("Transfer-Encoding: chunked\r\n") + "400\r\n" + kGoodBody),
       PlanUsageError::Kind::network, TransportError::Kind::other, 0, "network: other"},
      {"50 MiB body",
       [&oneKiB](int connection) {
         if (writeAll(connection,
                      okHead("Content-Length: " + std::to_string(50 * kMiB) + "\r\n"))) {
           writeRepeated(connection, oneKiB, 50 * 1024);
         }
       },
       PlanUsageError::Kind::network, TransportError::Kind::other, 0, "network: other", false,
       true},
      {"one header line of 8 MiB",
       [&oneKiB](int connection) {
         if (writeAll(connection, "HTTP/1.1 200 OK\r\nX-Flood: ") &&
             writeRepeated(connection, oneKiB, 8 * 1024)) {
           writeAll(connection, "\r\nContent-Length: 0\r\n\r\n");
         }
       },
       PlanUsageError::Kind::network, TransportError::Kind::other, 0, "network: other", false,
       true},
      {"500,000 header lines",
       [](int connection) {
         if (!writeAll(connection, "HTTP/1.1 200 OK\r\n")) {
           return;
         }
         std::string block;
         for (int line = 0; line < 500'000; ++line) {
           block += "X-Flood-" + std::to_string(line) + ": 1\r\n";
           if (block.size() >= 64 * 1024) {
             if (!writeAll(connection, block)) {
               return;
             }
             block.clear();
           }
         }
         writeAll(connection, block + "Content-Length: 0\r\n\r\n");
       },
       PlanUsageError::Kind::network, TransportError::Kind::other, 0, "network: other", false,
       true},
      {"redirect to another host",
       fixed("HTTP/1.1 302 Found\r\nLocation: " + elsewhere.url() +
             "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"),
       PlanUsageError::Kind::unexpectedStatus, std::nullopt, 302, "HTTP 302"},
  };

  const auto session = plainHttpSession();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const ForkedServer server(c.answer, kAuthorization);
    const TickOutcome outcome = tickOnce(session, server.url());

    if (c.endsByTimeout) {
      EXPECT_GE(outcome.elapsed, kTimeout);
      EXPECT_LT(outcome.elapsed, kTimeout + kTimeoutSlack);
    } else {
      // Refused on sight, not left to run out the clock.
      EXPECT_LT(outcome.elapsed, kTimeout);
    }
    // The peak of this one tick, not the size after it: AddressSanitizer's quarantine keeps freed
    // memory resident, but only memory allocated during the tick can raise the peak.
    if (c.boundsMemory) {
      EXPECT_LT(outcome.peakGrowthKiB, kMemoryBoundKiB);
    }
    // The request went out, token and all, exactly once: the answer alone decided the outcome.
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(server.watched(), 1);
    expectError(outcome, c.kind, c.transport, c.httpStatus);
    expectTransientFailure(outcome, c.runtimeText);
  }
  EXPECT_EQ(elsewhere.connections(), 0) << "the redirect was followed";
}

// The control: a peer the client can verify gets the request, and the cycle saves its answer.
void expectUpdated(const TickOutcome &outcome) {
  EXPECT_FALSE(outcome.error) << outcome.error->what();
  const auto *updated = std::get_if<refresh::Updated>(&outcome.result);
  ASSERT_NE(updated, nullptr) << outcome.log;
  EXPECT_EQ(updated->snapshot.status, PlanStatus::active);
  EXPECT_TRUE(updated->snapshot.hasData());
  EXPECT_NE(outcome.fileAfter, outcome.fileBefore);
  EXPECT_TRUE(outcome.fileReplaced);
  EXPECT_FALSE(holdsSecret(outcome.log)) << outcome.log;
}

bool opensslAvailable() { return std::system("command -v openssl >/dev/null 2>&1") == 0; }

// Throwaway certificate authorities and server certificates, made with the openssl command.
class TestPki {
public:
  explicit TestPki(const ScopedTempDir &dir) : dir_(dir) {
    writeFile(dir_ / "openssl.cnf", "[req]\n"
                                    "distinguished_name = dn\n"
                                    "prompt = no\n"
                                    "[dn]\n"
                                    "CN = Quorbel test\n"
                                    "[ca]\n"
                                    "basicConstraints = critical,CA:TRUE\n"
                                    "keyUsage = critical,keyCertSign,cRLSign\n"
                                    "subjectKeyIdentifier = hash\n"
                                    "[ip]\n"
                                    "basicConstraints = CA:FALSE\n"
                                    "extendedKeyUsage = serverAuth\n"
                                    "subjectAltName = IP:127.0.0.1\n"
                                    "[other]\n"
                                    "basicConstraints = CA:FALSE\n"
                                    "extendedKeyUsage = serverAuth\n"
                                    "subjectAltName = DNS:other.example\n");
  }

  // Returns the certificate's path; the key sits beside it with the extension ".key".
  std::filesystem::path makeCa(const std::string &name) {
    run("req -x509 -config openssl.cnf -extensions ca -newkey ec -pkeyopt "
        "ec_paramgen_curve:P-256 -nodes -days 2 -keyout " +
        name + ".key -out " + name + ".pem");
    return dir_ / (name + ".pem");
  }

  // A server certificate with the extension section `names` of the config, signed by `ca`.
  std::filesystem::path makeLeaf(const std::string &name, const std::string &names,
                                 const std::string &ca) {
    run("req -new -config openssl.cnf -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
        "-keyout " +
        name + ".key -out " + name + ".csr");
    run("x509 -req -in " + name + ".csr -CA " + ca + ".pem -CAkey " + ca +
        ".key -CAcreateserial -days 2 -extfile openssl.cnf -extensions " + names + " -out " + name +
        ".pem");
    return dir_ / (name + ".pem");
  }

  static std::filesystem::path keyOf(const std::filesystem::path &certificate) {
    return std::filesystem::path(certificate).replace_extension(".key");
  }

private:
  void run(const std::string &arguments) {
    const std::string command =
        "cd '" + dir_.path().string() + "' && openssl " + arguments + " >openssl.log 2>&1";
    if (std::system(command.c_str()) != 0) {
      throw std::runtime_error("openssl " + arguments + " failed:\n" +
                               readFile(dir_ / "openssl.log"));
    }
  }

  const ScopedTempDir &dir_;
};

// An https server on 127.0.0.1 that answers the usage path with a good body and counts every
// request it gets to read, whatever the path.
class TlsUsageServer {
public:
  TlsUsageServer(const std::filesystem::path &certificate, const std::filesystem::path &key)
      : server_(certificate.c_str(), key.c_str()) {
    if (!server_.is_valid()) {
      throw std::runtime_error("TLS server rejected " + certificate.string());
    }
    server_.set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &) {
      ++requests_;
      if (request.has_header("Authorization")) {
        ++authorized_;
      }
      return httplib::Server::HandlerResponse::Unhandled;
    });
    server_.Get(kUsagePath, [](const httplib::Request &, httplib::Response &response) {
      response.set_content(kGoodBody, "application/json");
    });
    server_.set_keep_alive_max_count(1);
    running_.emplace(server_);
  }
  TlsUsageServer(const TlsUsageServer &) = delete;
  TlsUsageServer &operator=(const TlsUsageServer &) = delete;

  std::string url() const {
    return "https://127.0.0.1:" + std::to_string(running_->port()) + kUsagePath;
  }
  int requests() const { return requests_; }
  int authorized() const { return authorized_; }

private:
  httplib::SSLServer server_;
  std::atomic<int> requests_{0};
  std::atomic<int> authorized_{0};
  // Last, so the server stops before the members its handlers use are gone.
  std::optional<testing::RunningHttpServer> running_;
};

TEST(HostileServerTest, TlsPeersTheClientCannotVerifyNeverSeeTheToken) {
  if (!opensslAvailable()) {
    GTEST_SKIP() << "the openssl command is not installed (scripts/install-deps.sh installs it); "
                    "it makes the test's certificates";
  }
  const ScopedTempDir temp;
  TestPki pki(temp);
  const auto trustedCa = pki.makeCa("trusted-ca");
  pki.makeCa("untrusted-ca");

  struct Case {
    const char *name;
    std::filesystem::path certificate;
    bool verifies;
  };
  // The good server comes first, so a session that has already trusted one peer is the one that
  // must refuse the others.
  const Case cases[] = {
      {"127.0.0.1 from the trusted CA", pki.makeLeaf("good", "ip", "trusted-ca"), true},
      {"another host name from the trusted CA", pki.makeLeaf("other-name", "other", "trusted-ca"),
       false},
      {"127.0.0.1 from a CA the client does not trust",
       pki.makeLeaf("untrusted", "ip", "untrusted-ca"), false},
  };
  const auto session =
      CurlHttpSession::forLoopback({.allowPlainHttp = false, .trustedCaFile = trustedCa});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TlsUsageServer server(c.certificate, TestPki::keyOf(c.certificate));
    const TickOutcome outcome = tickOnce(session, server.url());

    if (c.verifies) {
      expectUpdated(outcome);
      EXPECT_EQ(server.authorized(), 1);
      continue;
    }
    EXPECT_LT(outcome.elapsed, kTimeout);
    EXPECT_EQ(server.requests(), 0) << "a request crossed an unverified connection";
    EXPECT_EQ(server.authorized(), 0);
    expectError(outcome, PlanUsageError::Kind::network, TransportError::Kind::other, 0);
    expectTransientFailure(outcome, "network: other");
  }
}

} // namespace
} // namespace quorbel
