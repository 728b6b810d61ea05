#include "platform/tick_timer_linux.hpp"
#include "support/deadline.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <fcntl.h>
#include <future>
#include <sys/resource.h>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using WakeUp = TickTimer::WakeUp;
using testing::finishesWithin;

// Longer than any deadline: a wait that reaches it has missed what should have ended it.
constexpr auto kForever = 1h;

// The watch itself (renames, directories made later) is checked through the snapshot's watch, and
// which credential changes tick through the helper's refresh cycle.
TEST(LinuxTickTimer, EndsAtOnceOnAStopOrASignInElseWhenDue) {
  // A night with the lid closed must count, or the first tick after it comes hours late.
  const auto bootTimeTimers = [] {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fdinfo")) {
      const std::string line = "clockid: " + std::to_string(CLOCK_BOOTTIME) + "\n";
      count += testing::readFile(entry.path()).find(line) != std::string::npos ? 1 : 0;
    }
    return count;
  };
  const int bootTimersBefore = bootTimeTimers();
  const testing::ScopedTempDir home;
  LinuxTickTimer timer(home / ".claude/.credentials.json");
  EXPECT_EQ(bootTimeTimers(), bootTimersBefore + 1);
  std::stop_source stop;
  auto woke =
      std::async(std::launch::async, [&] { return timer.wait(kForever, stop.get_token(), true); });
  EXPECT_EQ(woke.wait_for(50ms), std::future_status::timeout);
  stop.request_stop();
  EXPECT_EQ(finishesWithin("a stopped wait", [&] { return woke.get(); }), WakeUp::stopRequested);
  // The stop must not leak into the next wait, which runs its whole delay.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(finishesWithin("a due wait", [&] { return timer.wait(20ms, {}, true); }), WakeUp::due);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 20ms);
  // A sign-in during the tick, between two waits, ends the next one at once.
  testing::writeFile(home / ".claude/.credentials.json", "{}");
  EXPECT_EQ(finishesWithin("a wait after a change", [&] { return timer.wait(kForever, {}, true); }),
            WakeUp::credentialsChanged);
}

// Without a watch a sign-in still shows at the next tick, but the user is told why not at once.
// AddressSanitizer's runtime takes descriptors of its own when a constructor throws under the
// tight limit below, so there the limit cannot be made to starve inotify alone.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORBEL_UNDER_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUORBEL_UNDER_ADDRESS_SANITIZER 1
#endif

TEST(LinuxTickTimer, SaysOnceWhyItCannotWatchTheCredentialsAndWaitsOnWithout) {
#ifdef QUORBEL_UNDER_ADDRESS_SANITIZER
  GTEST_SKIP() << "the sanitizer's runtime needs descriptors under the tight limit";
#endif
  const testing::ScopedTempDir home;
  // The timer opens its timerfd, its eventfd and then inotify: leave room for the first two only.
  std::vector<int> unused;
  for (int fd = 0; unused.size() < 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0) {
      unused.push_back(fd);
    }
  }
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  std::optional<LinuxTickTimer> timer;
  {
    struct Restore {
      const rlimit &limit;
      ~Restore() { ::setrlimit(RLIMIT_NOFILE, &limit); }
    } restore{before};
    rlimit tight = before;
    tight.rlim_cur = rlim_t(unused[1] + 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    timer.emplace(home / ".claude/.credentials.json");
  }
  EXPECT_EQ(timer->takeLostWatch(),
            "no watch on the credentials file (cannot start inotify: Too many open files); a "
            "sign-in shows at the next refresh, not at once");
  EXPECT_EQ(timer->takeLostWatch(), std::nullopt);
  testing::writeFile(home / ".claude/.credentials.json", "{}");
  EXPECT_EQ(finishesWithin("a wait without a watch", [&] { return timer->wait(20ms, {}, true); }),
            WakeUp::due);
}

} // namespace
} // namespace quorbel
