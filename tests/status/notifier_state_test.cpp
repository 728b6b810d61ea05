#include "status/notifier_state.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

TEST(NotifierState, LivesUnderTheXdgStateHomeOrTheHome) {
  struct Case {
    std::optional<std::string> xdgStateHome;
    std::optional<std::string> home;
    std::optional<std::string> passwdHome;
    const char *expected;
  };
  for (const Case &c : {
           Case{"/state", "/home/me", "/home/pw", "/state/QuorbelHelper/notify-state.json"},
           Case{"relative", "/home/me", "/home/pw",
                "/home/me/.local/state/QuorbelHelper/notify-state.json"},
           Case{std::nullopt, "", "/home/pw",
                "/home/pw/.local/state/QuorbelHelper/notify-state.json"},
           Case{std::nullopt, std::nullopt, std::nullopt, "/tmp/QuorbelHelper/notify-state.json"},
       }) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(notifierStateLocation(
                  c.xdgStateHome, LocationEnvironment{std::nullopt, "/data", c.home, c.passwdHome}),
              c.expected);
  }
}

} // namespace
} // namespace quorbel
