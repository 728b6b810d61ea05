#include "source/credentials.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quorbel {
namespace {

TEST(CredentialsDecoding, AcceptsAndRejectsDocuments) {
  const ClaudeAiOauth bare{"t", {}, {}, {}, {}, {}};
  const ClaudeAiOauth full{"a", "r", 1780000000123.5, "max", "tier", std::vector<std::string>{"s"}};
  struct Case {
    const char *name;
    std::string document;
    std::optional<ClaudeAiOauth> expected{}; // nothing: decodeFailed
  };
  const Case cases[] = {
      {"every field", R"({"claudeAiOauth":{"accessToken":"a","refreshToken":"r","scopes":["s"],
           "expiresAt":1780000000123.5,"subscriptionType":"max","rateLimitTier":"tier"}})",
       full},
      {"only the token", R"({"claudeAiOauth":{"accessToken":"t"}})", bare},
      {"null optionals, extra keys", R"({"mcpOAuth":{},"claudeAiOauth":{"accessToken":"t","o":1,
           "refreshToken":null,"expiresAt":null,"subscriptionType":null,"rateLimitTier":null,
           "scopes":null}})",
       bare},
      {"expiry as a digit string", R"({"claudeAiOauth":{"accessToken":"t","expiresAt":"1"}})"},
      {"scopes holding a number", R"({"claudeAiOauth":{"accessToken":"t","scopes":["a",1]}})"},
      {"scopes as a string", R"({"claudeAiOauth":{"accessToken":"t","scopes":"a b"}})"},
      {"plan as a number", R"({"claudeAiOauth":{"accessToken":"t","subscriptionType":3}})"},
      {"token as a number", R"({"claudeAiOauth":{"accessToken":42}})"},
      {"no token", R"({"claudeAiOauth":{"refreshToken":"r"}})"},
      {"no block", R"({"ClaudeAiOauth":{"accessToken":"t"}})"},
      {"block as a string", R"({"claudeAiOauth":"t"})"},
      {"top-level array", R"([{"claudeAiOauth":{"accessToken":"t"}}])"},
      {"not JSON", "accessToken=t"},
      // The parser stops right after the token, where its own message would quote it.
      {"control character", "{\"claudeAiOauth\":{\"accessToken\":\"sk-ant-oat01-abc\x01\"}}"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    try {
      EXPECT_EQ(std::optional(decodeCredentials(c.document).claudeAiOauth), c.expected);
    } catch (const CredentialsError &error) {
      EXPECT_FALSE(c.expected);
      EXPECT_EQ(error.kind(), CredentialsError::Kind::decodeFailed);
      EXPECT_EQ(std::string(error.what()).find("sk-ant"), std::string::npos) << error.what();
    }
  }
}

} // namespace
} // namespace quorbel
