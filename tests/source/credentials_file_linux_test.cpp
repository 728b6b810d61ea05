#include "source/credentials_file_linux.hpp"
#include "support/deadline.hpp"
#include "support/scoped_environment.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;

class CredentialsFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quorbel-credentials-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const fs::path &relative, const std::string &content) {
    const fs::path path = dir_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  fs::path dir_;
};

constexpr const char *kDocument =
    R"({"claudeAiOauth":{"accessToken":"token-1","expiresAt":1780000000000,"rateLimitTier":"t"}})";

TEST_F(CredentialsFileTest, ReadsTheDocumentAfreshOnEveryCall) {
  const fs::path path = write(".credentials.json", kDocument);
  const CredentialsFile file(path);
  EXPECT_EQ(file.readCredentials().claudeAiOauth.accessToken, "token-1");

  // A renewal by the CLI must show at the next read.
  write(".credentials.json", R"({"claudeAiOauth":{"accessToken":"token-2"}})");
  EXPECT_EQ(file.readCredentials().claudeAiOauth.accessToken, "token-2");
  fs::remove(path);
  EXPECT_THROW(file.readCredentials(), CredentialsError);
}

TEST_F(CredentialsFileTest, ClassifiesFailures) {
  write("plain-file", "x");
  // A valid document padded past the limit: only the limit can refuse it.
  std::string oversized = kDocument;
  oversized.resize(kMaxCredentialsFileBytes + 1, ' ');
  write("oversized", oversized);
  fs::create_directory(dir_ / "a-directory");
  fs::create_symlink(dir_ / "loop-b", dir_ / "loop-a");
  fs::create_symlink(dir_ / "loop-a", dir_ / "loop-b");
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  write("not-json", "{claudeAiOauth}");
  write("empty", "");

  struct Case {
    fs::path path;
    CredentialsError::Kind kind;
    int status; // for unexpectedStatus
  };
  const Case cases[] = {
      {dir_ / "missing.json", CredentialsError::Kind::noToken, 0},
      {dir_ / "missing-dir" / ".credentials.json", CredentialsError::Kind::noToken, 0},
      {dir_ / "plain-file" / ".credentials.json", CredentialsError::Kind::noToken, 0},
      {fs::path(), CredentialsError::Kind::noToken, 0},
      {dir_ / "a-directory", CredentialsError::Kind::unexpectedStatus, EISDIR},
      {dir_ / "loop-a", CredentialsError::Kind::unexpectedStatus, ELOOP},
      {dir_ / std::string(300, 'n'), CredentialsError::Kind::unexpectedStatus, ENAMETOOLONG},
      {dir_ / "oversized", CredentialsError::Kind::decodeFailed, 0},
      {dir_ / "not-json", CredentialsError::Kind::decodeFailed, 0},
      {dir_ / "empty", CredentialsError::Kind::decodeFailed, 0},
      // A FIFO nobody writes to must not block the read; it reads as empty.
      {dir_ / "fifo", CredentialsError::Kind::decodeFailed, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path.string());
    try {
      // A FIFO or a loop must not block the read: a fault there ends the test at the deadline.
      testing::finishesWithin("the credentials read",
                              [&] { (void)CredentialsFile(c.path).readCredentials(); });
      ADD_FAILURE() << "read succeeded";
    } catch (const CredentialsError &error) {
      EXPECT_EQ(error.kind(), c.kind) << error.what();
      if (c.kind == CredentialsError::Kind::unexpectedStatus) {
        EXPECT_EQ(error.status(), c.status) << error.what();
      }
    }
  }
}

TEST_F(CredentialsFileTest, DocumentAtTheSizeLimitIsRead) {
  std::string document = kDocument;
  document.resize(kMaxCredentialsFileBytes, ' ');
  EXPECT_EQ(CredentialsFile(write("big", document)).readCredentials().claudeAiOauth.accessToken,
            "token-1");
}

TEST(CredentialsFileLocation, FollowsTheEnvironment) {
  struct Case {
    const char *name;
    std::optional<std::string_view> configDir;
    std::optional<fs::path> home;
    fs::path expected;
  };
  const Case cases[] = {
      {"config dir wins", "/cfg", "/home/u", "/cfg/.credentials.json"},
      {"empty config dir ignored", "", "/home/u", "/home/u/.claude/.credentials.json"},
      {"no config dir", std::nullopt, "/home/u", "/home/u/.claude/.credentials.json"},
      {"config dir without a home", "/cfg", std::nullopt, "/cfg/.credentials.json"},
      {"no home at all", std::nullopt, std::nullopt, fs::path()},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CredentialsFile::defaultPath(c.configDir, c.home), c.expected);
  }
}

using testing::ScopedEnvironment;

TEST_F(CredentialsFileTest, DefaultLocationHonoursClaudeConfigDir) {
  write("config/.credentials.json", kDocument);
  const ScopedEnvironment config("CLAUDE_CONFIG_DIR", (dir_ / "config").c_str());
  const ScopedEnvironment home("HOME", (dir_ / "elsewhere").c_str());
  EXPECT_EQ(CredentialsFile::atDefaultLocation().readCredentials().claudeAiOauth.accessToken,
            "token-1");
}

TEST_F(CredentialsFileTest, DefaultLocationUsesHomeWithoutClaudeConfigDir) {
  write("home/.claude/.credentials.json", kDocument);
  const ScopedEnvironment config("CLAUDE_CONFIG_DIR", "");
  const ScopedEnvironment home("HOME", (dir_ / "home").c_str());
  EXPECT_EQ(CredentialsFile::atDefaultLocation().readCredentials().claudeAiOauth.accessToken,
            "token-1");
}

} // namespace
} // namespace quorbel
