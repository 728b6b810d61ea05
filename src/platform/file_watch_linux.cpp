#include "platform/file_watch_linux.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/inotify.h>
#include <system_error>
#include <unistd.h>

namespace quorbel {
namespace {

// In the file's own directory, a finished write or a rename over it is a change; a bare create is
// not yet, since the write that follows closes it.
constexpr std::uint32_t kFileEvents = IN_CLOSE_WRITE | IN_MOVED_TO;
// On the way there, a directory that appears or goes moves the watch.
constexpr std::uint32_t kPathEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

std::filesystem::path nearestExistingDirectory(const std::filesystem::path &file) {
  std::filesystem::path directory = file.parent_path();
  std::error_code error;
  while (!std::filesystem::is_directory(directory, error) && directory.has_relative_path()) {
    directory = directory.parent_path();
  }
  return directory;
}

} // namespace

FileWatch::FileWatch(std::filesystem::path file)
    : file_(std::move(file)), inotify_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
  if (!inotify_.valid()) {
    throw std::system_error(errno, std::generic_category(), "inotify_init1");
  }
  follow();
}

void FileWatch::follow() {
  const std::filesystem::path directory = nearestExistingDirectory(file_);
  if (watch_ >= 0 && directory == watched_) {
    return;
  }
  if (watch_ >= 0) {
    ::inotify_rm_watch(inotify_.get(), watch_);
  }
  const bool atFile = directory == file_.parent_path();
  // Without a watch (the user's watch limit is reached) the cadence alone still picks changes up.
  watch_ = ::inotify_add_watch(inotify_.get(), directory.c_str(),
                               (atFile ? kFileEvents : 0) | kPathEvents | IN_ONLYDIR);
  watched_ = directory;
}

bool FileWatch::takeChanges() {
  const std::filesystem::path before = watched_;
  const std::string name = file_.filename();
  bool changed = false;
  bool moved = false;
  alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
  for (;;) {
    const ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    for (ssize_t at = 0; at < got;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const char *eventName = buffer + at + sizeof event;
      at += ssize_t(sizeof event + event.len);
      if ((event.mask & IN_Q_OVERFLOW) != 0) {
        changed = true;
        moved = true;
      } else if (event.wd == watch_ && (event.mask & kFileEvents) != 0 && event.len > 0 &&
                 name == eventName && watched_ == file_.parent_path()) {
        changed = true;
      } else {
        moved = true;
      }
    }
  }
  if (moved) {
    follow();
    // The file may have been written between its directory appearing and the watch reaching it.
    std::error_code error;
    if (watched_ != before && watched_ == file_.parent_path() &&
        std::filesystem::exists(file_, error)) {
      changed = true;
    }
  }
  return changed;
}

} // namespace quorbel
