#include "source/credentials.hpp"

#include "platform/errno_text.hpp"

#include <nlohmann/json.hpp>

#include <utility>

namespace quorbel {

CredentialsError::CredentialsError(Kind kind, int status, std::string message)
    : kind_(kind), status_(status), message_(std::move(message)) {}

CredentialsError CredentialsError::unexpectedStatus(int status) {
  return CredentialsError(Kind::unexpectedStatus, status,
                          "credentials could not be read: " + errnoText(status) + " (status " +
                              std::to_string(status) + ")");
}

CredentialsError CredentialsError::noToken() {
  return CredentialsError(Kind::noToken, 0, "no Claude Code credentials found");
}

CredentialsError CredentialsError::decodeFailed() {
  return CredentialsError(Kind::decodeFailed, 0, "Claude Code credentials could not be decoded");
}

namespace {

using nlohmann::json;

const json &requiredObject(const json &parent, const char *key) {
  const auto found = parent.find(key);
  if (found == parent.end() || !found->is_object()) {
    throw CredentialsError::decodeFailed();
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
    throw CredentialsError::decodeFailed();
  }
  return found->get<std::string>();
}

std::optional<double> optionalNumber(const json &parent, const char *key) {
  const auto found = parent.find(key);
  if (found == parent.end() || found->is_null()) {
    return std::nullopt;
  }
  if (!found->is_number()) {
    throw CredentialsError::decodeFailed();
  }
  return found->get<double>();
}

std::optional<std::vector<std::string>> optionalStrings(const json &parent, const char *key) {
  const auto found = parent.find(key);
  if (found == parent.end() || found->is_null()) {
    return std::nullopt;
  }
  if (!found->is_array()) {
    throw CredentialsError::decodeFailed();
  }
  std::vector<std::string> values;
  values.reserve(found->size());
  for (const json &element : *found) {
    if (!element.is_string()) {
      throw CredentialsError::decodeFailed();
    }
    values.push_back(element.get<std::string>());
  }
  return values;
}

} // namespace

Credentials decodeCredentials(std::string_view document) {
  // The parser's own error is dropped on purpose: its message may quote the document.
  const json root = json::parse(document, nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded() || !root.is_object()) {
    throw CredentialsError::decodeFailed();
  }
  const json &block = requiredObject(root, "claudeAiOauth");

  const auto token = block.find("accessToken");
  if (token == block.end() || !token->is_string()) {
    throw CredentialsError::decodeFailed();
  }

  Credentials credentials;
  ClaudeAiOauth &oauth = credentials.claudeAiOauth;
  oauth.accessToken = token->get<std::string>();
  oauth.refreshToken = optionalString(block, "refreshToken");
  oauth.expiresAt = optionalNumber(block, "expiresAt");
  oauth.subscriptionType = optionalString(block, "subscriptionType");
  oauth.rateLimitTier = optionalString(block, "rateLimitTier");
  oauth.scopes = optionalStrings(block, "scopes");
  return credentials;
}

} // namespace quorbel
