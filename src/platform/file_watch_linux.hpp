#pragma once

#include "platform/unique_fd.hpp"

#include <filesystem>
#include <stdexcept>

namespace quorbel {

// Raised when a watch cannot be set up; the message names the path or facility and the cause.
class WatchError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Watches one file with inotify on its directory, picking events by name: a rename over the file,
// which a watch on the file itself would lose, a write in place, a rename away and a removal all
// count. While the directory does not exist yet, the nearest existing ancestor is watched instead
// and the watch moves down as directories appear: a first sign-in creates both ~/.claude and the
// credentials, a first start of the helper its data directory.
class FileWatch {
public:
  // Throws WatchError when inotify is not available or the way to the file cannot be watched.
  explicit FileWatch(const std::filesystem::path &file);

  // Wakes for any entry made, renamed or removed in `directory`, such as a new account's folder.
  static FileWatch entriesOf(const std::filesystem::path &directory);

  // Readable while events are pending.
  int fd() const { return inotify_.get(); }

  // Reads the pending events and follows directories that appeared or went. True when the file
  // may have changed, events lost included. Throws WatchError when the watch cannot be placed
  // again.
  bool takeChanges();

private:
  FileWatch(const std::filesystem::path &file, bool anyEntry);
  void arm();

  std::filesystem::path file_;
  std::filesystem::path watched_; // the file's directory, or an ancestor until it exists
  UniqueFd inotify_;
  int watch_ = -1;
  bool anyEntry_ = false;
};

} // namespace quorbel
