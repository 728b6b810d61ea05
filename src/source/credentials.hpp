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

// Why the credentials could not be read. Nothing in it comes from the document.
class CredentialsError : public std::exception {
public:
  enum class Kind { unexpectedStatus, noToken, decodeFailed };

  // The store failed with a status of its own (for the credentials file, an errno value).
  static CredentialsError unexpectedStatus(int status);
  // No credentials, or none that hold a token: the user is signed out.
  static CredentialsError noToken();
  // `reason` says which rule the content broke ("not JSON", "\"expiresAt\" is not a number").
  static CredentialsError decodeFailed(std::string reason);

  Kind kind() const { return kind_; }
  int status() const { return status_; } // meaningful for unexpectedStatus only
  // Why the credentials cannot be used, as a person reads it: "Is a directory", "not JSON".
  // Empty for noToken.
  const std::string &reason() const { return reason_; }

  const char *what() const noexcept override { return message_.c_str(); }

private:
  CredentialsError(Kind kind, int status, std::string reason, std::string message);

  Kind kind_;
  int status_;
  std::string reason_;
  std::string message_;
};

// Decodes the credentials document strictly: exact keys, no type coercion, unknown keys ignored.
// A document without the OAuth block or without a token in it (absent or null) throws noToken, as
// the CLI leaves it signed out; anything else that does not fit throws decodeFailed.
Credentials decodeCredentials(std::string_view document);

// The source of the Claude Code credentials. Every call reads afresh; nothing is cached.
class CredentialsReading {
public:
  virtual ~CredentialsReading() = default;
  virtual Credentials readCredentials() const = 0;
  // The store as a person names it in a message, e.g. "credentials file /home/u/.claude/...".
  virtual std::string location() const = 0;
};

} // namespace quorbel
