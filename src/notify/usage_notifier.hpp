#pragma once

#include "notify/notification_sending.hpp"
#include "notify/notifier_state.hpp"
#include "watch/watch_loop.hpp"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace quorbel {

// What `quorbel-status --notify` does at each look: reads the snapshot, shows the notifications it
// calls for, and remembers what was shown in the state file. A notification that cannot be shown
// is not remembered, so it is tried again at the next look for as long as it still holds; one
// that no longer holds by then (the window has reset) is dropped.
class UsageNotifier {
public:
  using Errors = NotifierErrors;

  UsageNotifier(std::filesystem::path snapshotFile, NotifierStateFile stateFile,
                ViewOptions options, NotificationSending &sender, Errors errors);

  WatchNext update(Instant now);

private:
  std::filesystem::path snapshotFile_;
  NotifierStateFile stateFile_;
  ViewOptions options_;
  NotificationSending &sender_;
  Errors errors_;
  NotifierState state_;
  NotifierState saved_;
  std::string lastReadProblem_;
  std::string lastSendProblem_;
  std::string lastSaveProblem_;
};

} // namespace quorbel
