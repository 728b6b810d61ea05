#include "source/credentials.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorbel {
namespace {

ClaudeAiOauth withToken(std::string token) {
  ClaudeAiOauth oauth;
  oauth.accessToken = std::move(token);
  return oauth;
}

TEST(CredentialsDecoding, AcceptsAndRejectsDocuments) {
  struct Case {
    const char *name;
    std::string document;
    std::optional<ClaudeAiOauth> expected; // nothing: decodeFailed
  };
  ClaudeAiOauth full;
  full.accessToken = "sk-ant-oat01-abc";
  full.refreshToken = "sk-ant-ort01-def";
  full.expiresAt = 1780000000123.0;
  full.subscriptionType = "max";
  full.rateLimitTier = "default_claude_max_20x";
  full.scopes = std::vector<std::string>{"user:inference", "user:profile"};

  const Case cases[] = {
      {"only the token", R"({"claudeAiOauth":{"accessToken":"t"}})", withToken("t")},
      {"every field",
       R"({"claudeAiOauth":{"accessToken":"sk-ant-oat01-abc","refreshToken":"sk-ant-ort01-def",
           "expiresAt":1780000000123,"scopes":["user:inference","user:profile"],
           "subscriptionType":"max","rateLimitTier":"default_claude_max_20x"}})",
       full},
      {"fractional expiry", R"({"claudeAiOauth":{"accessToken":"t","expiresAt":1780000000123.5}})",
       [] {
         ClaudeAiOauth oauth = withToken("t");
         oauth.expiresAt = 1780000000123.5;
         return oauth;
       }()},
      {"null optionals",
       R"({"claudeAiOauth":{"accessToken":"t","refreshToken":null,"expiresAt":null,
           "subscriptionType":null,"rateLimitTier":null,"scopes":null}})",
       withToken("t")},
      {"extra keys at both levels",
       R"({"mcpOAuth":{"x":1},"claudeAiOauth":{"accessToken":"t","organizationUuid":"o"}})",
       withToken("t")},
      {"empty token", R"({"claudeAiOauth":{"accessToken":""}})", withToken("")},
      {"empty scopes", R"({"claudeAiOauth":{"accessToken":"t","scopes":[]}})",
       [] {
         ClaudeAiOauth oauth = withToken("t");
         oauth.scopes = std::vector<std::string>{};
         return oauth;
       }()},

      {"expiry as digit string",
       R"({"claudeAiOauth":{"accessToken":"t","expiresAt":"1780000000"}})", std::nullopt},
      {"scopes holding a number", R"({"claudeAiOauth":{"accessToken":"t","scopes":["a",1]}})",
       std::nullopt},
      {"scopes as a string", R"({"claudeAiOauth":{"accessToken":"t","scopes":"a b"}})",
       std::nullopt},
      {"plan as a number", R"({"claudeAiOauth":{"accessToken":"t","subscriptionType":3}})",
       std::nullopt},
      {"token as a number", R"({"claudeAiOauth":{"accessToken":42}})", std::nullopt},
      {"null token", R"({"claudeAiOauth":{"accessToken":null}})", std::nullopt},
      {"no token", R"({"claudeAiOauth":{"refreshToken":"r"}})", std::nullopt},
      {"wrong-case key", R"({"claudeAiOauth":{"AccessToken":"t"}})", std::nullopt},
      {"wrong-case block", R"({"ClaudeAiOauth":{"accessToken":"t"}})", std::nullopt},
      {"null block", R"({"claudeAiOauth":null})", std::nullopt},
      {"block as a string", R"({"claudeAiOauth":"t"})", std::nullopt},
      {"top-level array", R"([{"claudeAiOauth":{"accessToken":"t"}}])", std::nullopt},
      {"empty document", "", std::nullopt},
      {"not JSON", "accessToken=t", std::nullopt},
      {"truncated", R"({"claudeAiOauth":{"accessToken":"t")", std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.expected) {
      EXPECT_EQ(decodeCredentials(c.document).claudeAiOauth, *c.expected);
    } else {
      try {
        decodeCredentials(c.document);
        ADD_FAILURE() << "decoded";
      } catch (const CredentialsError &error) {
        EXPECT_EQ(error.kind(), CredentialsError::Kind::decodeFailed);
      }
    }
  }
}

TEST(CredentialsDecoding, ErrorNeverQuotesTheDocument) {
  try {
    // A control character inside the string makes the parser stop right after the token.
    decodeCredentials("{\"claudeAiOauth\":{\"accessToken\":\"sk-secret-token\x01\"}}");
    FAIL() << "decoded";
  } catch (const CredentialsError &error) {
    EXPECT_EQ(std::string(error.what()).find("sk-secret"), std::string::npos) << error.what();
  }
}

} // namespace
} // namespace quorbel
