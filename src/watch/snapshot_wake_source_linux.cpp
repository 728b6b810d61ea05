#include "watch/snapshot_wake_source_linux.hpp"

#include "platform/errno_text.hpp"
#include "platform/poll_wait.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <string>
#include <sys/timerfd.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quorbel {

SnapshotWakeSource::SnapshotWakeSource(const std::filesystem::path &file, int outputFd)
    : watch_(file), timerFd_(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC)),
      outputFd_(outputFd) {
  if (!timerFd_.valid()) {
    throw WatchError(failureText("cannot create a timer", errno));
  }
}

SnapshotWakeSource::SnapshotWakeSource(const std::filesystem::path &file,
                                       const std::filesystem::path &folders, int outputFd)
    : SnapshotWakeSource(file, outputFd) {
  folders_.emplace(FileWatch::entriesOf(folders));
}

void SnapshotWakeSource::follow(const std::vector<std::filesystem::path> &files) {
  std::map<std::filesystem::path, std::unique_ptr<FileWatch>> kept;
  for (const auto &file : files) {
    const auto found = followed_.find(file);
    if (found != followed_.end()) {
      kept.insert(followed_.extract(found));
    } else {
      kept.emplace(file, std::make_unique<FileWatch>(file));
      followedNew_ = true;
    }
  }
  followed_ = std::move(kept);
}

void SnapshotWakeSource::serveWhileWaiting(int fd, Serve serve) {
  servedFd_ = fd;
  serve_ = std::move(serve);
}

void SnapshotWakeSource::setTimer(std::optional<Instant> deadline) {
  itimerspec expiry{};
  int flags = 0;
  if (deadline) {
    // A deadline at or before 1970 is due at once; zero would disarm the timer instead, and a
    // negative time is refused.
    const auto sinceEpoch =
        std::max(deadline->time_since_epoch(), std::chrono::milliseconds::zero());
    const auto wholeSeconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    expiry.it_value.tv_sec = time_t(wholeSeconds.count());
    expiry.it_value.tv_nsec = long(std::chrono::nanoseconds(sinceEpoch - wholeSeconds).count());
    if (expiry.it_value.tv_sec == 0 && expiry.it_value.tv_nsec == 0) {
      expiry.it_value.tv_nsec = 1;
    }
    // A clock that is set (by hand or by NTP after a long suspend) cancels the timer, which wakes
    // the loop to work out its deadlines afresh.
    flags = TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET;
  }
  if (::timerfd_settime(timerFd_.get(), flags, &expiry, nullptr) != 0) {
    throw WatchError(failureText("cannot set the timer", errno));
  }
}

WakeSource::Wake SnapshotWakeSource::wait(std::optional<Instant> deadline) {
  if (std::exchange(followedNew_, false)) {
    return Wake::changed;
  }
  setTimer(deadline);
  std::vector<FileWatch *> watches = {&watch_};
  if (folders_) {
    watches.push_back(&*folders_);
  }
  for (auto &[file, watch] : followed_) {
    watches.push_back(watch.get());
  }
  for (;;) {
    std::vector<pollfd> fds = {{outputFd_, 0, 0}, {timerFd_.get(), POLLIN, 0}};
    for (const FileWatch *watch : watches) {
      fds.push_back({watch->fd(), POLLIN, 0});
    }
    for (const int input : inputs_) {
      fds.push_back({input, POLLIN, 0});
    }
    if (serve_) {
      const int events = serve_();
      if (events < 0) {
        return Wake::stop;
      }
      fds.push_back({servedFd_, short(events), 0});
    }
    if (pollRetrying(fds.data(), fds.size()) < 0) {
      throw WatchError(failureText("cannot wait for changes", errno));
    }
    if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      return Wake::stop;
    }
    bool changed = false;
    for (std::size_t i = 0; i < watches.size(); ++i) {
      // Every watch with events is read, so none stays readable and spins the loop.
      changed = ((fds[i + 2].revents & POLLIN) != 0 && watches[i]->takeChanges()) || changed;
    }
    for (std::size_t i = 2 + watches.size(); i < 2 + watches.size() + inputs_.size(); ++i) {
      // A terminal that hung up can never be read again: that ends the watch as a lost reader does.
      if ((fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return Wake::stop;
      }
      if ((fds[i].revents & POLLIN) != 0) {
        return Wake::input;
      }
    }
    bool due = false;
    if ((fds[1].revents & POLLIN) != 0) {
      std::uint64_t expirations = 0;
      // ECANCELED: the clock was set; the deadline is worked out again either way.
      due = ::read(timerFd_.get(), &expirations, sizeof expirations) > 0 || errno == ECANCELED;
    }
    if (changed) {
      return Wake::changed;
    }
    if (due) {
      return Wake::due;
    }
  }
}

} // namespace quorbel
