#include "notify/usage_notifier.hpp"

#include "platform/atomic_file.hpp"
#include "view/snapshot_reading.hpp"

namespace quorbel {

UsageNotifier::UsageNotifier(std::filesystem::path snapshotFile, NotifierStateFile stateFile,
                             ViewOptions options, NotificationSending &sender, Errors errors)
    : snapshotFile_(std::move(snapshotFile)), stateFile_(std::move(stateFile)), options_(options),
      sender_(sender), errors_(std::move(errors)) {
  try {
    state_ = stateFile_.load().value_or(NotifierState{});
  } catch (const NotifierStateError &problem) {
    // At worst a notification of this period is shown once more.
    errors_(std::string("quorbel-status: ignoring the notification state: ") + problem.what());
  }
  saved_ = state_;
}

WatchNext UsageNotifier::update(Instant now) {
  const SnapshotReading reading = SnapshotReading::of(snapshotFile_);
  if (!reading.snapshot) {
    tellOnce(errors_, reading.problem, lastReadProblem_);
    return {false, nextNotificationTime(state_, now)};
  }
  lastReadProblem_.clear();
  const UsageView view = UsageView::of(*reading.snapshot, now, options_);
  state_ = settledState(state_, view);
  while (const auto due = nextNotification(state_, view, options_)) {
    if (!sendOrTellOnce(sender_, due->notification, errors_, lastSendProblem_)) {
      break;
    }
    state_ = settledState(due->stateAfter, view);
  }
  if (state_ != saved_) {
    try {
      stateFile_.save(state_);
      saved_ = state_;
      lastSaveProblem_.clear();
    } catch (const FileWriteError &problem) {
      tellOnce(errors_, std::string(problem.what()) + "; notifications may repeat after a restart",
               lastSaveProblem_);
    }
  }
  return {false, nextNotificationTime(state_, now)};
}

} // namespace quorbel
