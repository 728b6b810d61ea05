#include "source/credentials.hpp"

#include "platform/errno_text.hpp"

#include <nlohmann/json.hpp>

#include <utility>

namespace quorbel {

CredentialsError::CredentialsError(Kind kind, int status, std::string reason, std::string message)
    : kind_(kind), status_(status), reason_(std::move(reason)), message_(std::move(message)) {}

CredentialsError CredentialsError::unexpectedStatus(int status) {
  std::string reason = errnoText(status);
  std::string message =
      "credentials could not be read: " + reason + " (status " + std::to_string(status) + ")";
  return CredentialsError(Kind::unexpectedStatus, status, std::move(reason), std::move(message));
}

CredentialsError CredentialsError::noToken() {
  return CredentialsError(Kind::noToken, 0, {}, "no Claude Code credentials found");
}

CredentialsError CredentialsError::decodeFailed(std::string reason) {
  std::string message = "Claude Code credentials could not be decoded: " + reason;
  return CredentialsError(Kind::decodeFailed, 0, std::move(reason), std::move(message));
}

namespace {

using nlohmann::json;

[[noreturn]] void failDecoding(const char *key, const char *what) {
  throw CredentialsError::decodeFailed(std::string("\"") + key + "\" is not " + what);
}

// Absent and null both mean "no token": the CLI signed out, or never signed in.
const json &requiredMember(const json &parent, const char *key) {
  const auto found = parent.find(key);
  if (found == parent.end() || found->is_null()) {
    throw CredentialsError::noToken();
  }
  return *found;
}

// Absent and null both mean "not given"; any other type than a string fails the whole document.
std::optional<std::string> optionalString(const json &parent, const char *key) {
  const auto found = parent.find(key);
  if (found == parent.end() || found->is_null()) {
    return std::nullopt;
  }
  if (!found->is_string()) {
    failDecoding(key, "a string");
  }
  return found->get<std::string>();
}

std::optional<double> optionalNumber(const json &parent, const char *key) {
  const auto found = parent.find(key);
  if (found == parent.end() || found->is_null()) {
    return std::nullopt;
  }
  if (!found->is_number()) {
    failDecoding(key, "a number");
  }
  return found->get<double>();
}

std::optional<std::vector<std::string>> optionalStrings(const json &parent, const char *key) {
  const auto found = parent.find(key);
  if (found == parent.end() || found->is_null()) {
    return std::nullopt;
  }
  if (!found->is_array()) {
    failDecoding(key, "an array of strings");
  }
  std::vector<std::string> values;
  values.reserve(found->size());
  for (const json &element : *found) {
    if (!element.is_string()) {
      failDecoding(key, "an array of strings");
    }
    values.push_back(element.get<std::string>());
  }
  return values;
}

} // namespace

Credentials decodeCredentials(std::string_view document) {
  // The parser's own error is dropped on purpose: its message may quote the document.
  const json root = json::parse(document, nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded()) {
    throw CredentialsError::decodeFailed("not JSON");
  }
  if (!root.is_object()) {
    throw CredentialsError::decodeFailed("not a JSON object");
  }
  const json &block = requiredMember(root, "claudeAiOauth");
  if (!block.is_object()) {
    failDecoding("claudeAiOauth", "an object");
  }
  const json &token = requiredMember(block, "accessToken");
  if (!token.is_string()) {
    failDecoding("accessToken", "a string");
  }
  // An empty token is what a half-finished sign-out leaves; sent, it would only earn a 401.
  if (token.get_ref<const std::string &>().empty()) {
    throw CredentialsError::noToken();
  }

  Credentials credentials;
  ClaudeAiOauth &oauth = credentials.claudeAiOauth;
  oauth.accessToken = token.get<std::string>();
  oauth.refreshToken = optionalString(block, "refreshToken");
  oauth.expiresAt = optionalNumber(block, "expiresAt");
  oauth.subscriptionType = optionalString(block, "subscriptionType");
  oauth.rateLimitTier = optionalString(block, "rateLimitTier");
  oauth.scopes = optionalStrings(block, "scopes");
  return credentials;
}

} // namespace quorbel
