#include "platform/tick_timer_linux.hpp"

#include "platform/poll_wait.hpp"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/timerfd.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace quorbel {
namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

void arm(int timer, std::chrono::nanoseconds delay) {
  // A zero expiry would disarm the timer instead of firing it.
  const std::int64_t nanoseconds = std::max<std::int64_t>(1, delay.count());
  itimerspec expiry{};
  expiry.it_value.tv_sec = time_t(nanoseconds / kNanosecondsPerSecond);
  expiry.it_value.tv_nsec = long(nanoseconds % kNanosecondsPerSecond);
  if (::timerfd_settime(timer, 0, &expiry, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "timerfd_settime");
  }
}

} // namespace

LinuxTickTimer::LinuxTickTimer(const std::filesystem::path &credentialsFile)
    : timer_(::timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC | TFD_NONBLOCK)) {
  if (!timer_.valid()) {
    throw std::system_error(errno, std::generic_category(), "timerfd_create(CLOCK_BOOTTIME)");
  }
  if (!credentialsFile.empty()) {
    watchCredentials(credentialsFile);
  }
}

void LinuxTickTimer::watchCredentials(const std::filesystem::path &credentialsFile) {
  try {
    credentials_.emplace(credentialsFile);
  } catch (const WatchError &error) {
    loseWatch(error);
  }
}

bool LinuxTickTimer::credentialsChanged() {
  try {
    return credentials_ && credentials_->takeChanges();
  } catch (const WatchError &error) {
    loseWatch(error);
    return false;
  }
}

// Without a watch (no inotify, the user's watch limit reached, a directory that cannot be
// watched) the cadence alone still picks a sign-in up, within one interval; the user should know
// why it no longer shows at once.
void LinuxTickTimer::loseWatch(const WatchError &error) {
  credentials_.reset();
  lostWatch_ = std::string("no watch on the credentials file (") + error.what() +
               "); a sign-in shows at the next refresh, not at once";
}

std::optional<std::string> LinuxTickTimer::takeLostWatch() { return std::exchange(lostWatch_, {}); }

TickTimer::WakeUp LinuxTickTimer::wait(std::chrono::nanoseconds delay, std::stop_token stop,
                                       bool watchCredentials) {
  stopEvent_.clear();
  const auto notify = stopEvent_.notifyOn(std::move(stop));
  // Changes seen while the status did not ask for them (a token refresh) never cause a tick;
  // those since the last wait do, so a sign-in during a tick is not missed.
  if (credentialsChanged() && watchCredentials) {
    return WakeUp::credentialsChanged;
  }
  arm(timer_.get(), delay);
  const int watched = credentials_ && watchCredentials ? credentials_->fd() : -1;
  for (;;) {
    pollfd fds[3] = {{stopEvent_.fd(), POLLIN, 0}, {watched, POLLIN, 0}, {timer_.get(), POLLIN, 0}};
    if (pollRetrying(fds, 3) < 0) {
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if ((fds[0].revents & POLLIN) != 0) {
      return WakeUp::stopRequested;
    }
    if ((fds[1].revents & POLLIN) != 0 && credentialsChanged()) {
      return WakeUp::credentialsChanged;
    }
    if ((fds[2].revents & POLLIN) != 0) {
      std::uint64_t expirations = 0;
      [[maybe_unused]] const ssize_t ignored =
          ::read(timer_.get(), &expirations, sizeof expirations);
      return WakeUp::due;
    }
  }
}

} // namespace quorbel
