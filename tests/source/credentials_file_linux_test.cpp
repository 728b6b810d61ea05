#include "source/credentials_file_linux.hpp"
#include "support/deadline.hpp"
#include "support/scoped_environment.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnvironment;
using testing::ScopedTempDir;
using testing::writeFile;

const std::string kDocument = R"({"claudeAiOauth":{"accessToken":"token-1"}})";

// The token, or the error's message.
std::string outcomeAt(const fs::path &path) {
  try {
    return CredentialsFile(path).readCredentials().claudeAiOauth.accessToken;
  } catch (const CredentialsError &error) {
    return error.what();
  }
}

TEST(CredentialsFileTest, ReadsAfreshAndClassifiesFailures) {
  const ScopedTempDir temp;
  const std::string atLimit =
      kDocument + std::string(kMaxCredentialsFileBytes - kDocument.size(), ' ');
  writeFile(temp / "at-limit", atLimit);
  writeFile(temp / "oversized", atLimit + " ");
  writeFile(temp / "plain-file", "x");
  fs::create_symlink(temp / "loop", temp / "loop");
  ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);
  const std::string none = "no Claude Code credentials found";
  const std::string unreadable = "credentials could not be read: ";
  const std::string undecodable = "Claude Code credentials could not be decoded: ";
  const std::pair<fs::path, std::string> cases[] = {
      {temp / "at-limit", "token-1"},
      {temp / "missing-dir/c.json", none},
      {temp / "plain-file/c.json", none},
      {fs::path(), none},
      {temp.path(), unreadable + "Is a directory (status 21)"},
      {temp / "loop", unreadable + "Too many levels of symbolic links (status 40)"},
      {temp / "oversized", undecodable + "too large"},
      {temp / "plain-file", undecodable + "not JSON"},
      // Nobody writes to the FIFO: it is refused instead of blocking the read.
      {temp / "fifo", undecodable + "not a regular file"},
  };
  for (const auto &[path, outcome] : cases) {
    SCOPED_TRACE(path.string());
    EXPECT_EQ(testing::finishesWithin("the read", [&, at = path] { return outcomeAt(at); }),
              outcome);
  }
  // A renewal by the CLI must show at the next read.
  writeFile(temp / "at-limit", R"({"claudeAiOauth":{"accessToken":"token-2"}})");
  EXPECT_EQ(outcomeAt(temp / "at-limit"), "token-2");
}

TEST(CredentialsFileLocation, FollowsTheEnvironment) {
  // Without a home, only CLAUDE_CONFIG_DIR names a place.
  EXPECT_EQ(CredentialsFile::defaultPath("/cfg", std::nullopt), "/cfg/.credentials.json");
  EXPECT_EQ(CredentialsFile::defaultPath(std::nullopt, std::nullopt), fs::path());
  const ScopedEnvironment home("HOME", "/home/u");
  for (const char *config : {"", "/cfg"}) {
    SCOPED_TRACE(config);
    const ScopedEnvironment named("CLAUDE_CONFIG_DIR", config);
    EXPECT_EQ(CredentialsFile::atDefaultLocation().path(),
              *config ? "/cfg/.credentials.json" : "/home/u/.claude/.credentials.json");
  }
}

} // namespace
} // namespace quorbel
