#pragma once

#include "platform/file_watch_linux.hpp"
#include "platform/unique_fd.hpp"
#include "watch/wake_source.hpp"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace quorbel {

// Wakes when the snapshot file is replaced, written, or removed, seen by inotify on its directory,
// and at deadlines on the real-time clock. The helper replaces the file by rename, which a watch
// on the file itself would lose, so the directory is watched and events are picked by name. While
// the directory does not exist yet, the nearest existing ancestor is watched instead, and the
// watch moves down as directories appear.
class SnapshotWakeSource final : public WakeSource {
public:
  // Ends the watch when `outputFd` (if not -1) loses its reader, such as a bar that has gone away.
  // Stop signals end the process from their handler, so there is no stop descriptor to poll.
  explicit SnapshotWakeSource(const std::filesystem::path &file, int outputFd = -1);
  // Also wakes when an entry appears in or leaves `folders` (the accounts' folder); follow() then
  // adds the files found there.
  SnapshotWakeSource(const std::filesystem::path &file, const std::filesystem::path &folders,
                     int outputFd);

  // Wakes for these files too from now on, besides the first; a file newly followed counts as
  // changed at the next wait, since it may have been written before its watch was in place.
  void follow(const std::vector<std::filesystem::path> &files);
  // Serves another descriptor while waiting, such as a bus connection: `serve` runs before each
  // poll, does what has come in, and returns the poll events to wait for on `fd`, or a negative
  // number to end the watch.
  using Serve = std::function<int()>;
  void serveWhileWaiting(int fd, Serve serve);

  // Wakes with Wake::input from now on whenever `fd` is readable (a terminal's keys, a signalfd),
  // which the caller then reads, and with Wake::stop once it has hung up.
  void wakeOnInput(int fd) { inputs_.push_back(fd); }
  SnapshotWakeSource(const SnapshotWakeSource &) = delete;
  SnapshotWakeSource &operator=(const SnapshotWakeSource &) = delete;

  Wake wait(std::optional<Instant> deadline) override;

private:
  void setTimer(std::optional<Instant> deadline);

  FileWatch watch_;
  std::optional<FileWatch> folders_;
  std::map<std::filesystem::path, std::unique_ptr<FileWatch>> followed_;
  bool followedNew_ = false;
  UniqueFd timerFd_;
  int outputFd_ = -1;
  int servedFd_ = -1;
  Serve serve_;
  std::vector<int> inputs_;
};

} // namespace quorbel
