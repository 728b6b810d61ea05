#include "platform/file_watch_linux.hpp"

#include "platform/errno_text.hpp"

#include <cerrno>
#include <cstdint>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;

// In the file's directory: the file written in place, renamed over, renamed away or removed, and
// the directory itself going away. A bare creation is left out: a writer that is not atomic has
// written nothing yet, and its close follows.
constexpr std::uint32_t kDirectoryEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM |
                                           IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// In an ancestor: the next directory down appearing, or the ancestor itself going away.
constexpr std::uint32_t kAncestorEvents =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Directories that appear while the watch moves down are looked for again, a bounded number of
// times so that a directory created and removed in a loop cannot hold the watch.
constexpr int kArmAttempts = 16;
constexpr std::size_t kEventBufferSize = 16 * 1024;

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

FileWatch::FileWatch(const fs::path &file) : FileWatch(file, false) {}

// The empty file name leaves `directory` as the watched file's directory.
FileWatch FileWatch::entriesOf(const fs::path &directory) {
  return FileWatch(directory / "", true);
}

FileWatch::FileWatch(const fs::path &file, bool anyEntry)
    : file_(fs::absolute(file).lexically_normal()),
      inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), anyEntry_(anyEntry) {
  if (!inotify_.valid()) {
    throw WatchError(failureText("cannot start inotify", errno));
  }
  arm();
}

void FileWatch::arm() {
  if (watch_ >= 0) {
    ::inotify_rm_watch(inotify_.get(), watch_);
    watch_ = -1;
  }
  const fs::path directory = file_.parent_path();
  for (int attempt = 0; attempt < kArmAttempts; ++attempt) {
    const fs::path target = nearestExisting(directory);
    const bool atDirectory = target == directory;
    watch_ = ::inotify_add_watch(inotify_.get(), target.c_str(),
                                 atDirectory ? kDirectoryEvents | (anyEntry_ ? IN_CREATE : 0)
                                             : kAncestorEvents);
    if (watch_ < 0) {
      if (errno == ENOENT || errno == ENOTDIR) {
        continue; // removed between the look and the watch
      }
      throw WatchError(failureText("cannot watch " + target.string(), errno));
    }
    watched_ = target;
    // The next directory down may have appeared before the watch was in place.
    if (atDirectory || !isDirectory(nextStepDown(target, directory))) {
      return;
    }
    ::inotify_rm_watch(inotify_.get(), watch_);
    watch_ = -1;
  }
  throw WatchError("cannot watch " + directory.string() + ": it keeps changing");
}

bool FileWatch::takeChanges() {
  const fs::path directory = file_.parent_path();
  const std::string fileName = file_.filename().string();
  bool changed = false;
  bool rearm = false;
  alignas(inotify_event) char buffer[kEventBufferSize];
  for (;;) {
    const ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
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
        changed = changed || anyEntry_ || name == fileName;
      } else if (name == nextStepDown(watched_, directory).filename().string()) {
        rearm = true;
      }
    }
  }
  if (rearm) {
    const fs::path before = watched_;
    arm();
    // The file may already be there by the time the watch reaches its directory.
    std::error_code ignored;
    changed = changed || (watched_ != before && watched_ == directory &&
                          (anyEntry_ || fs::exists(file_, ignored)));
  }
  return changed;
}

} // namespace quorbel
