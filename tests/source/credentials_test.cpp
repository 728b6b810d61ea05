#include "source/credentials.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>

namespace quorbel {
namespace {

TEST(CredentialsDecoding, AcceptsAndRejectsDocuments) {
  const ClaudeAiOauth bare{"t", {}, {}, {}, {}, {}};
  const ClaudeAiOauth full{"a", "r", 1780000000123.5, "max", "tier", std::vector<std::string>{"s"}};
  // What a document decodes to, or why not: the reason of decodeFailed; empty for noToken, as a
  // document without a token is a signed-out one.
  using Outcome = std::variant<ClaudeAiOauth, std::string>;
  const struct {
    const char *name;
    std::string document;
    Outcome outcome;
  } cases[] = {
      {"every field", R"({"claudeAiOauth":{"accessToken":"a","refreshToken":"r","scopes":["s"],
           "expiresAt":1780000000123.5,"subscriptionType":"max","rateLimitTier":"tier"}})",
       full},
      {"only the token", R"({"claudeAiOauth":{"accessToken":"t"}})", bare},
      {"null optionals, extra keys", R"({"mcpOAuth":{},"claudeAiOauth":{"accessToken":"t","o":1,
           "refreshToken":null,"expiresAt":null,"subscriptionType":null,"rateLimitTier":null,
           "scopes":null}})",
       bare},
      {"expiry as a digit string", R"({"claudeAiOauth":{"accessToken":"t","expiresAt":"1"}})",
       R"("expiresAt" is not a number)"},
      {"scopes holding a number", R"({"claudeAiOauth":{"accessToken":"t","scopes":["a",1]}})",
       R"("scopes" is not an array of strings)"},
      {"token as a number", R"({"claudeAiOauth":{"accessToken":42}})",
       R"("accessToken" is not a string)"},
      {"no token", R"({"claudeAiOauth":{"refreshToken":"r"}})", ""},
      {"null token", R"({"claudeAiOauth":{"accessToken":null}})", ""},
      {"empty token", R"({"claudeAiOauth":{"accessToken":"","refreshToken":"r"}})", ""},
      {"no block", R"({"ClaudeAiOauth":{"accessToken":"t"}})", ""},
      {"null block", R"({"claudeAiOauth":null,"mcpOAuth":{}})", ""},
      {"block as a string", R"({"claudeAiOauth":"t"})", R"("claudeAiOauth" is not an object)"},
      {"top-level array", R"([{"claudeAiOauth":{"accessToken":"t"}}])", "not a JSON object"},
      {"not JSON", "accessToken=t", "not JSON"},
      // The parser stops right after the token, where its own message would quote it.
      {"control character", "{\"claudeAiOauth\":{\"accessToken\":\"sk-ant-oat01-abc\x01\"}}",
       "not JSON"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    try {
      const ClaudeAiOauth decoded = decodeCredentials(c.document).claudeAiOauth;
      EXPECT_EQ(Outcome(decoded), c.outcome);
    } catch (const CredentialsError &error) {
      EXPECT_EQ(Outcome(error.reason()), c.outcome);
      EXPECT_EQ(error.kind(), error.reason().empty() ? CredentialsError::Kind::noToken
                                                     : CredentialsError::Kind::decodeFailed);
      EXPECT_EQ(std::string(error.what()).find("sk-ant"), std::string::npos) << error.what();
    }
  }
}

} // namespace
} // namespace quorbel
