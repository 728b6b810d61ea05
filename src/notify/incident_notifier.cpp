#include "notify/incident_notifier.hpp"

#include "platform/atomic_file.hpp"
#include "platform/small_file.hpp"
#include "view/service_view.hpp"

namespace quorbel {
namespace {

constexpr std::size_t kMaxToldFileBytes = 64 * 1024;
constexpr std::string_view kClaimFileName = ".service-incidents.lock";

} // namespace

IncidentNotifier::IncidentNotifier(std::filesystem::path statusFile, std::filesystem::path toldFile,
                                   NotificationSending &sender, Errors errors)
    : statusFile_(std::move(statusFile)), toldFile_(std::move(toldFile)), sender_(sender),
      errors_(std::move(errors)) {}

bool IncidentNotifier::claimed() {
  if (claim_) {
    return true;
  }
  auto outcome = InstanceLock::acquire(toldFile_.parent_path() / kClaimFileName);
  if (const auto *failure = std::get_if<InstanceLock::Failed>(&outcome)) {
    tellOnce(errors_, "cannot tell the service's incidents: " + failure->message,
             lastClaimProblem_);
    return false;
  }
  auto *held = std::get_if<InstanceLock>(&outcome);
  if (held == nullptr) {
    return false; // another notifier tells them
  }
  claim_.emplace(std::move(*held));
  // Read only now: the notifier that held the claim before may have told more since we started.
  AtomicFile::removeStaleTemporaries(toldFile_);
  told_ = {};
  const SmallFile file = readSmallFile(toldFile_, kMaxToldFileBytes);
  if (file.found()) {
    try {
      told_ = decodeIncidentsTold(file.content);
    } catch (const IncidentsToldError &problem) {
      errors_("quorbel-status: ignoring " + toldFile_.string() + ": " + problem.what());
    }
  } else if (file.outcome != SmallFile::Outcome::missing) {
    // At worst an incident still open is told once more.
    errors_("quorbel-status: ignoring " + toldFile_.string() + ": " + file.reason());
  }
  saved_ = told_;
  return true;
}

void IncidentNotifier::update(Instant now) {
  if (!claimed()) {
    return;
  }
  const std::optional<ServiceStatus> status = readServiceStatus(statusFile_);
  if (status) {
    told_ = settledIncidents(told_, *status);
  }
  while (const auto due = nextIncidentNotice(told_, status, now)) {
    if (!sendOrTellOnce(sender_, due->notification, errors_, lastSendProblem_)) {
      break;
    }
    told_ = due->toldAfter;
  }
  if (told_ != saved_) {
    try {
      replaceFile(toldFile_, encodeIncidentsTold(told_));
      saved_ = told_;
      lastSaveProblem_.clear();
    } catch (const FileWriteError &problem) {
      tellOnce(errors_,
               std::string(problem.what()) + "; incidents may be told again after a restart",
               lastSaveProblem_);
    }
  }
}

} // namespace quorbel
