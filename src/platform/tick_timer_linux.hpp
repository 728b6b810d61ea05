#pragma once

#include "platform/file_watch_linux.hpp"
#include "platform/stop_event_fd_linux.hpp"
#include "platform/tick_timer.hpp"
#include "platform/unique_fd.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace quorbel {

// A timerfd on CLOCK_BOOTTIME, the stop eventfd and an inotify watch on the credentials file,
// waited on together with poll().
class LinuxTickTimer final : public TickTimer {
public:
  // An empty `credentialsFile` means there is nothing to watch. Throws std::system_error when a
  // descriptor cannot be made.
  explicit LinuxTickTimer(const std::filesystem::path &credentialsFile);

  WakeUp wait(std::chrono::nanoseconds delay, std::stop_token stop, bool watchCredentials) override;
  std::optional<std::string> takeLostWatch() override;

private:
  void watchCredentials(const std::filesystem::path &credentialsFile);
  bool credentialsChanged();
  void loseWatch(const WatchError &error);

  UniqueFd timer_;
  StopEventFd stopEvent_;
  std::optional<FileWatch> credentials_;
  std::optional<std::string> lostWatch_; // not yet taken
};

} // namespace quorbel
