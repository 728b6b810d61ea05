#include "status/notifier_state.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

TEST(NotifierState, RoundTripsAndRejectsWhatItDidNotWrite) {
  NotifierState state;
  state.signedOut = true;
  state.windows["session"] = {"2026-06-29T17:00:00Z", UsageLevel::full, true};
  state.windows["model:Opus"] = {"", UsageLevel::warning, false};
  EXPECT_EQ(decodeNotifierState(encodeNotifierState(state)), state);

  for (
      const char *text :
      {"", "[]", R"({"windows":{}})", R"({"signedOut":false,"windows":[]})",
       R"({"signedOut":false,"windows":{"session":{"period":"","notified":"loud","resetSent":false}}})",
       R"({"signedOut":false,"windows":{"session":{"period":1,"notified":"full","resetSent":false}}})"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(decodeNotifierState(text), NotifierStateError);
  }
}

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
