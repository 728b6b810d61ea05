#include "source/credentials_file_linux.hpp"
#include "support/deadline.hpp"
#include "support/scoped_environment.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnvironment;
using testing::ScopedTempDir;
using testing::writeFile;

constexpr const char *kDocument = R"({"claudeAiOauth":{"accessToken":"token-1"}})";

std::string tokenAt(const fs::path &path) {
  return CredentialsFile(path).readCredentials().claudeAiOauth.accessToken;
}

TEST(CredentialsFileTest, ReadsTheDocumentAfreshOnEveryCall) {
  const ScopedTempDir temp;
  // Padded to exactly the size limit, which is still read.
  std::string document = kDocument;
  document.resize(kMaxCredentialsFileBytes, ' ');
  writeFile(temp / "c.json", document);
  EXPECT_EQ(tokenAt(temp / "c.json"), "token-1");
  // A renewal by the CLI must show at the next read.
  writeFile(temp / "c.json", R"({"claudeAiOauth":{"accessToken":"token-2"}})");
  EXPECT_EQ(tokenAt(temp / "c.json"), "token-2");
}

TEST(CredentialsFileTest, ClassifiesFailures) {
  const ScopedTempDir temp;
  std::string oversized = kDocument;
  oversized.resize(kMaxCredentialsFileBytes + 1, ' ');
  writeFile(temp / "oversized", oversized);
  writeFile(temp / "plain-file", "x");
  fs::create_symlink(temp / "loop-b", temp / "loop-a");
  fs::create_symlink(temp / "loop-a", temp / "loop-b");
  ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);
  using Kind = CredentialsError::Kind;
  struct Case {
    fs::path path;
    Kind kind;
    int status = 0; // for unexpectedStatus
  };
  const Case cases[] = {
      {temp / "missing-dir/c.json", Kind::noToken},
      {temp / "plain-file/c.json", Kind::noToken},
      {fs::path(), Kind::noToken},
      {temp.path(), Kind::unexpectedStatus, EISDIR},
      {temp / "loop-a", Kind::unexpectedStatus, ELOOP},
      {temp / "oversized", Kind::decodeFailed},
      // Nobody writes to the FIFO: it reads as empty instead of blocking.
      {temp / "fifo", Kind::decodeFailed},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path.string());
    try {
      testing::finishesWithin("the credentials read", [&] { (void)tokenAt(c.path); });
      ADD_FAILURE() << "read succeeded";
    } catch (const CredentialsError &error) {
      EXPECT_EQ(error.kind(), c.kind) << error.what();
      EXPECT_EQ(error.status(), c.status) << error.what();
    }
  }
}

TEST(CredentialsFileLocation, FollowsTheEnvironment) {
  struct Case {
    std::optional<std::string_view> configDir;
    std::optional<fs::path> home;
    fs::path expected;
  };
  const Case cases[] = {
      {"/cfg", "/home/u", "/cfg/.credentials.json"},
      {"", "/home/u", "/home/u/.claude/.credentials.json"},
      {std::nullopt, "/home/u", "/home/u/.claude/.credentials.json"},
      {"/cfg", std::nullopt, "/cfg/.credentials.json"},
      {std::nullopt, std::nullopt, fs::path()},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expected.string());
    EXPECT_EQ(CredentialsFile::defaultPath(c.configDir, c.home), c.expected);
  }
  const ScopedTempDir temp;
  writeFile(temp / "home/.claude/.credentials.json", kDocument);
  writeFile(temp / "config/.credentials.json", R"({"claudeAiOauth":{"accessToken":"token-2"}})");
  const ScopedEnvironment home("HOME", (temp / "home").c_str());
  for (const char *config : {"", "config"}) {
    const ScopedEnvironment named("CLAUDE_CONFIG_DIR", *config ? (temp / config).c_str() : "");
    EXPECT_EQ(CredentialsFile::atDefaultLocation().readCredentials().claudeAiOauth.accessToken,
              *config ? "token-2" : "token-1");
  }
}

} // namespace
} // namespace quorbel
