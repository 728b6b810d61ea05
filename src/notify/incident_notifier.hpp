#pragma once

#include "notify/incident_rules.hpp"
#include "notify/notification_sending.hpp"
#include "platform/instance_lock_linux.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

inline constexpr std::string_view kIncidentsToldFileName = "service-incidents-told.json";

// The notices of the service's incidents, once per machine however many notifiers run (one per
// account, say): the notifier that holds the claim, a lock beside the record of what was told,
// announces; the others try for the claim at each look and take over, record and all, once its
// holder has gone. What was told is kept in that record, so a restart repeats nothing.
class IncidentNotifier {
public:
  using Errors = NotifierErrors;

  // `statusFile` is the helper's service status file; `toldFile` the record, whose folder holds
  // the claim too.
  IncidentNotifier(std::filesystem::path statusFile, std::filesystem::path toldFile,
                   NotificationSending &sender, Errors errors);

  void update(Instant now);

  const std::filesystem::path &statusFile() const { return statusFile_; }

private:
  bool claimed();

  std::filesystem::path statusFile_;
  std::filesystem::path toldFile_;
  NotificationSending &sender_;
  Errors errors_;
  std::optional<InstanceLock> claim_;
  IncidentsTold told_;
  IncidentsTold saved_;
  std::string lastClaimProblem_;
  std::string lastSendProblem_;
  std::string lastSaveProblem_;
};

} // namespace quorbel
