#include "status/snapshot_wake_source_linux.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;

// In the snapshot's directory: the file written in place, renamed over, renamed away or removed,
// and the directory itself going away. A bare creation is left out: a writer that is not atomic
// has written nothing yet, and its close follows.
constexpr std::uint32_t kDirectoryEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM |
                                           IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// In an ancestor: the next directory down appearing, or the ancestor itself going away.
constexpr std::uint32_t kAncestorEvents =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Directories that appear while the watch moves down are looked for again, a bounded number of
// times so that a directory created and removed in a loop cannot hold the watch.
constexpr int kArmAttempts = 16;
constexpr std::size_t kEventBufferSize = 16 * 1024;

std::string failure(const std::string &what, int error) {
  return what + ": " + std::strerror(error);
}

bool isDirectory(const fs::path &path) {
  std::error_code ignored;
  return fs::is_directory(path, ignored);
}

// The nearest directory that exists, from `directory` upwards.
fs::path nearestExisting(fs::path directory) {
  while (!isDirectory(directory) && directory.has_relative_path()) {
    directory = directory.parent_path();
  }
  return directory;
}

// The entry of `ancestor` on the way down to `directory`.
fs::path nextStepDown(const fs::path &ancestor, const fs::path &directory) {
  return ancestor / *directory.lexically_relative(ancestor).begin();
}

} // namespace

SnapshotWakeSource::SnapshotWakeSource(const fs::path &file, int stopFd, int outputFd)
    : file_(fs::absolute(file).lexically_normal()), stopFd_(stopFd), outputFd_(outputFd) {
  inotifyFd_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotifyFd_.valid()) {
    throw WatchError(failure("cannot start inotify", errno));
  }
  timerFd_.reset(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!timerFd_.valid()) {
    throw WatchError(failure("cannot create a timer", errno));
  }
  arm();
}

void SnapshotWakeSource::arm() {
  if (watch_ >= 0) {
    ::inotify_rm_watch(inotifyFd_.get(), watch_);
    watch_ = -1;
  }
  const fs::path directory = file_.parent_path();
  for (int attempt = 0; attempt < kArmAttempts; ++attempt) {
    const fs::path target = nearestExisting(directory);
    const bool atDirectory = target == directory;
    watch_ = ::inotify_add_watch(inotifyFd_.get(), target.c_str(),
                                 atDirectory ? kDirectoryEvents : kAncestorEvents);
    if (watch_ < 0) {
      if (errno == ENOENT || errno == ENOTDIR) {
        continue; // removed between the look and the watch
      }
      throw WatchError(failure("cannot watch " + target.string(), errno));
    }
    watched_ = target;
    // The next directory down may have appeared before the watch was in place.
    if (atDirectory || !isDirectory(nextStepDown(target, directory))) {
      return;
    }
    ::inotify_rm_watch(inotifyFd_.get(), watch_);
    watch_ = -1;
  }
  throw WatchError("cannot watch " + directory.string() + ": it keeps changing");
}

void SnapshotWakeSource::setTimer(std::optional<Instant> deadline) {
  itimerspec spec{};
  int flags = 0;
  if (deadline) {
    const auto sinceEpoch = deadline->time_since_epoch();
    const auto wholeSeconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    spec.it_value.tv_sec = time_t(wholeSeconds.count());
    spec.it_value.tv_nsec = long(std::chrono::nanoseconds(sinceEpoch - wholeSeconds).count());
    if (spec.it_value.tv_sec <= 0 && spec.it_value.tv_nsec == 0) {
      spec.it_value.tv_nsec = 1; // zero would disarm instead of firing at once
    }
    // A clock that is set (by hand or by NTP after a long suspend) cancels the timer, which wakes
    // the loop to work out its deadlines afresh.
    flags = TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET;
  }
  if (::timerfd_settime(timerFd_.get(), flags, &spec, nullptr) != 0) {
    throw WatchError(failure("cannot set the timer", errno));
  }
}

bool SnapshotWakeSource::drainEvents() {
  const fs::path directory = file_.parent_path();
  const std::string fileName = file_.filename().string();
  bool changed = false;
  bool rearm = false;
  alignas(inotify_event) char buffer[kEventBufferSize];
  for (;;) {
    const ssize_t got = ::read(inotifyFd_.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    for (ssize_t at = 0; at < got;) {
      const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
      at += ssize_t(sizeof(inotify_event) + event->len);
      if ((event->mask & IN_Q_OVERFLOW) != 0) {
        changed = rearm = true; // events were lost: look again from scratch
        continue;
      }
      if (event->wd != watch_) {
        continue; // left over from a watch already replaced
      }
      if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
        changed = rearm = true;
        continue;
      }
      const std::string name = event->len > 0 ? std::string(event->name) : std::string();
      if (watched_ == directory) {
        changed = changed || name == fileName;
      } else if (name == nextStepDown(watched_, directory).filename().string()) {
        changed = rearm = true;
      }
    }
  }
  if (rearm) {
    arm();
  }
  return changed;
}

WakeSource::Wake SnapshotWakeSource::wait(std::optional<Instant> deadline) {
  setTimer(deadline);
  for (;;) {
    pollfd fds[4] = {{stopFd_, POLLIN, 0},
                     {outputFd_, 0, 0},
                     {inotifyFd_.get(), POLLIN, 0},
                     {timerFd_.get(), POLLIN, 0}};
    if (::poll(fds, 4, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw WatchError(failure("cannot wait for changes", errno));
    }
    if (fds[0].revents != 0 || (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      return Wake::stop;
    }
    const bool changed = (fds[2].revents & POLLIN) != 0 && drainEvents();
    bool due = false;
    if ((fds[3].revents & POLLIN) != 0) {
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
