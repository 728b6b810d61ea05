// The report itself is checked where the executable prints it.
#include "selfcheck/dry_test_run.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

TEST(PerUserTemporaryDirectory, FallsBackOnlyWhenTmpdirIsUnsetOrEmpty) {
  const std::pair<std::optional<std::string>, std::filesystem::path> cases[] = {
      {std::nullopt, "/tmp"}, {"", "/tmp"}, {"/no/such/dir", "/no/such/dir"}, {" ", " "}};
  for (const auto &[tmpdir, expected] : cases) {
    SCOPED_TRACE(tmpdir.value_or("(unset)"));
    EXPECT_EQ(perUserTemporaryDirectory(tmpdir), expected);
  }
}

} // namespace
} // namespace quorbel
