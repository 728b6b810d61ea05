#include "status/notifier_state.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

TEST(NotifierState, LivesUnderTheXdgStateHomeOrTheHomeAndNowhereElse) {
  struct Case {
    std::optional<std::string> xdgStateHome;
    std::optional<std::filesystem::path> home;
    std::optional<std::filesystem::path> expected;
  };
  for (const Case &c : {
           Case{"/state", "/home/me", "/state/QuorbelHelper/notify-state.json"},
           Case{"relative", "/home/me", "/home/me/.local/state/QuorbelHelper/notify-state.json"},
           Case{"", "/home/me", "/home/me/.local/state/QuorbelHelper/notify-state.json"},
           Case{"/state", std::nullopt, "/state/QuorbelHelper/notify-state.json"},
           Case{std::nullopt, std::nullopt, std::nullopt},
       }) {
    SCOPED_TRACE(c.expected.value_or("nothing"));
    EXPECT_EQ(notifierStateLocation(c.xdgStateHome, c.home), c.expected);
  }
}

} // namespace
} // namespace quorbel
