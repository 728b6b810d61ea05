#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorbel {

// The OAuth block the Claude Code CLI keeps; member names are the document's own keys.
struct ClaudeAiOauth {
  std::string accessToken;
  std::optional<std::string> refreshToken; // carried, never used: the helper does not refresh
  std::optional<double> expiresAt;         // milliseconds since 1970-01-01T00:00:00Z
  std::optional<std::string> subscriptionType;
  std::optional<std::string> rateLimitTier;
  std::optional<std::vector<std::string>> scopes;

  bool operator==(const ClaudeAiOauth &) const = default;
};

struct Credentials {
  ClaudeAiOauth claudeAiOauth;

  bool operator==(const Credentials &) const = default;
};

// Why the credentials could not be read. The message never contains any part of the document.
class CredentialsError : public std::exception {
public:
  enum class Kind { unexpectedStatus, noToken, decodeFailed };

  // The store failed with a status of its own (for the credentials file, an errno value).
  static CredentialsError unexpectedStatus(int status);
  static CredentialsError noToken();
  static CredentialsError decodeFailed();

  Kind kind() const { return kind_; }
  int status() const { return status_; } // meaningful for unexpectedStatus only

  const char *what() const noexcept override { return message_.c_str(); }

private:
  CredentialsError(Kind kind, int status, std::string message);

  Kind kind_;
  int status_;
  std::string message_;
};

// Decodes the credentials document strictly: exact keys, no type coercion, unknown keys ignored.
// Throws CredentialsError::decodeFailed on anything else.
Credentials decodeCredentials(std::string_view document);

// The source of the Claude Code credentials. Every call reads afresh; nothing is cached.
class CredentialsReading {
public:
  virtual ~CredentialsReading() = default;
  virtual Credentials readCredentials() const = 0;
};

} // namespace quorbel
