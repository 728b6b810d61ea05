#include "platform/tick_timer_linux.hpp"
#include "support/deadline.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using WakeUp = TickTimer::WakeUp;
using testing::ScopedTempDir;
using testing::writeFile;

// Longer than any deadline: a wait that reaches it has missed what should have ended it.
constexpr auto kForever = 1h;

// Runs one wait on another thread, so a test can act while it lasts and give up on time.
std::future<WakeUp> waitAsync(TickTimer &timer, std::chrono::nanoseconds delay,
                              std::stop_token stop, bool watchCredentials) {
  return std::async(std::launch::async, [&timer, delay, stop, watchCredentials] {
    return timer.wait(delay, stop, watchCredentials);
  });
}

// Timers of this process on CLOCK_BOOTTIME, which keeps counting while the machine is suspended.
int bootTimeTimers() {
  int count = 0;
  for (const auto &entry : fs::directory_iterator("/proc/self/fdinfo")) {
    std::string line;
    std::ifstream info(entry.path());
    while (std::getline(info, line)) {
      count += line == "clockid: " + std::to_string(CLOCK_BOOTTIME) ? 1 : 0;
    }
  }
  return count;
}

TEST(LinuxTickTimer, EndsWhenDueOrAtOnceOnAStop) {
  ScopedTempDir temp;
  const int bootTimersBefore = bootTimeTimers();
  LinuxTickTimer timer(temp / ".claude/.credentials.json");
  // A night with the lid closed must count, or the first tick after it comes hours late.
  EXPECT_EQ(bootTimeTimers(), bootTimersBefore + 1);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(timer.wait(20ms, {}, true), WakeUp::due);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 20ms);

  std::stop_source early;
  early.request_stop();
  EXPECT_EQ(testing::finishesWithin("a stopped wait",
                                    [&] { return timer.wait(kForever, early.get_token(), false); }),
            WakeUp::stopRequested);

  // The same timer serves the next wait: the earlier stop must not leak into it.
  std::stop_source late;
  auto woke = waitAsync(timer, kForever, late.get_token(), false);
  std::this_thread::sleep_for(50ms);
  late.request_stop();
  EXPECT_EQ(testing::finishesWithin("a wait stopped later", [&] { return woke.get(); }),
            WakeUp::stopRequested);
}

TEST(LinuxTickTimer, WakesOnCredentialsWrittenOnlyWhenAsked) {
  struct Case {
    const char *name;
    std::function<void(const fs::path &file)> change;
    bool watchCredentials;
    WakeUp expected;
  };
  const auto signIn = [](const fs::path &file) {
    fs::create_directories(file.parent_path());
    writeFile(file, "{}");
  };
  const Case cases[] = {
      {"first sign-in creates the directory and the file", signIn, true,
       WakeUp::credentialsChanged},
      {"the file is replaced by a rename",
       [&](const fs::path &file) {
         signIn(file.parent_path() / "new");
         fs::rename(file.parent_path() / "new", file);
       },
       true, WakeUp::credentialsChanged},
      {"another file in the directory",
       [&](const fs::path &file) { signIn(file.parent_path() / "x"); }, true, WakeUp::due},
      {"a token refresh while not signed out", signIn, false, WakeUp::due},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir home;
    const fs::path file = home / ".claude/.credentials.json";
    LinuxTickTimer timer(file);
    // Long enough for the change to land inside the wait, short enough to end when nothing wakes.
    auto woke = waitAsync(timer, 500ms, {}, c.watchCredentials);
    std::this_thread::sleep_for(50ms);
    c.change(file);
    EXPECT_EQ(testing::finishesWithin("a watched wait", [&] { return woke.get(); }), c.expected);
  }
}

TEST(LinuxTickTimer, AChangeDuringTheTickEndsTheNextWaitAtOnce) {
  ScopedTempDir home;
  const fs::path file = home / ".credentials.json";
  writeFile(file, "{}");
  LinuxTickTimer timer(file);
  writeFile(file, "{\"signed\": \"in\"}");
  EXPECT_EQ(testing::finishesWithin("a wait after a change",
                                    [&] { return timer.wait(kForever, {}, true); }),
            WakeUp::credentialsChanged);
}

} // namespace
} // namespace quorbel
