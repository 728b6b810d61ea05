#pragma once

#include "platform/unique_fd.hpp"

#include <filesystem>

namespace quorbel {

// Watches one file for being written or replaced with inotify, even before the file or the
// directories on its way exist: the watch sits on the nearest existing directory and moves down
// as the missing ones appear, since a first sign-in creates both ~/.claude and the file.
class FileWatch {
public:
  // Throws std::system_error when inotify is not available.
  explicit FileWatch(std::filesystem::path file);

  // Readable while events are pending.
  int fd() const { return inotify_.get(); }

  // Reads the pending events and follows directories that appeared or went. True when the file
  // was written or moved into place, or when events were lost and it may have been.
  bool takeChanges();

private:
  void follow();

  std::filesystem::path file_;
  UniqueFd inotify_;
  int watch_ = -1;
  std::filesystem::path watched_;
};

} // namespace quorbel
