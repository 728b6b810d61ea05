#include "service/service_status_poller.hpp"

#include "model/helper_version.hpp"
#include "platform/atomic_file.hpp"
#include "platform/small_file.hpp"
#include "service/status_page.hpp"

#include <algorithm>

namespace quorbel {
namespace {

constexpr std::size_t kMaxFileBytes = 64 * 1024;
constexpr long kHttpOk = 200;

std::filesystem::path lockFileOf(const std::filesystem::path &file) {
  std::string name = file.stem().string();
  name.insert(name.begin(), '.');
  return file.parent_path() / (name + ".lock");
}

std::optional<Instant> checkedAtOf(const std::filesystem::path &file) {
  const SmallFile read = readSmallFile(file, kMaxFileBytes);
  if (!read.found()) {
    return std::nullopt;
  }
  const auto kept = decodeServiceStatus(read.content);
  return kept ? std::optional<Instant>(kept->checkedAt) : std::nullopt;
}

ServiceCheckResult failed(std::string cause, std::string detail) {
  return ServiceCheckResult{ServiceCheckResult::Kind::failed, std::move(cause), std::move(detail)};
}

} // namespace

ServiceStatusPoller::ServiceStatusPoller(std::shared_ptr<HttpSession> session,
                                         std::filesystem::path file, const Clock &clock)
    : ServiceStatusPoller(std::move(session), std::move(file), clock, Options{}) {}

ServiceStatusPoller::ServiceStatusPoller(std::shared_ptr<HttpSession> session,
                                         std::filesystem::path file, const Clock &clock,
                                         Options options)
    : session_(std::move(session)), file_(std::move(file)), clock_(clock),
      options_(std::move(options)) {}

std::chrono::milliseconds ServiceStatusPoller::dueIn() {
  const Instant now = clock_.now();
  // Due at once before the first look; no far-past instant, whose distance from now no clock holds.
  Instant next = lastLook_ ? *lastLook_ + kServiceStatusInterval : now;
  // Another helper may have polled before this one took over, or a restart came soon after one.
  if (const auto checkedAt = checkedAtOf(file_)) {
    next = std::max(next, *checkedAt + kServiceStatusInterval);
  }
  // A clock set back must not postpone the next look by more than one interval.
  return std::min<std::chrono::milliseconds>(next - now, kServiceStatusInterval);
}

ServiceCheckResult ServiceStatusPoller::check() {
  const Instant now = clock_.now();
  lastLook_ = now;
  ServiceCheckResult refused;
  if (!holdsLock(refused)) {
    return refused;
  }
  if (const auto checkedAt = checkedAtOf(file_);
      checkedAt && *checkedAt <= now && now - *checkedAt < kServiceStatusInterval) {
    return ServiceCheckResult{ServiceCheckResult::Kind::fresh};
  }
  return poll();
}

// Taken once and kept for the process's life; a helper that finds it held tries again at its next
// look, so another takes over within an interval of the poller's end.
bool ServiceStatusPoller::holdsLock(ServiceCheckResult &refused) {
  if (lock_) {
    return true;
  }
  auto outcome = InstanceLock::acquire(lockFileOf(file_));
  if (auto *held = std::get_if<InstanceLock>(&outcome)) {
    lock_.emplace(std::move(*held));
    return true;
  }
  if (const auto *failure = std::get_if<InstanceLock::Failed>(&outcome)) {
    refused = failed("lock", failure->message);
  } else {
    refused = ServiceCheckResult{ServiceCheckResult::Kind::elsewhere};
  }
  return false;
}

ServiceCheckResult ServiceStatusPoller::poll() {
  // Nothing of the usage request goes with it: the page is public and needs no token.
  const HttpGetRequest request{options_.url,
                               {{"User-Agent", "QuorbelHelper/" + std::string(kHelperVersion)}},
                               options_.timeLimit};
  HttpResponse response;
  try {
    response = session_->get(request);
  } catch (const HttpTransportFailure &failure) {
    ServiceCheckResult result =
        failed("network: " + std::string(kindName(failure.error().kind)), failure.what());
    result.cancelled = failure.error().kind == TransportError::Kind::cancelled;
    return result;
  } catch (const std::exception &error) {
    return failed("network", error.what());
  }
  if (response.status != kHttpOk) {
    const std::string cause = "HTTP " + std::to_string(response.status);
    return failed(cause, cause);
  }
  const auto status = serviceStatusFromPage(response.body, clock_.now());
  if (!status) {
    return failed("decoding", "the answer is not a status page summary");
  }
  try {
    replaceFile(file_, encodeServiceStatus(*status));
  } catch (const FileWriteError &error) {
    return failed("write", error.what());
  }
  return ServiceCheckResult{ServiceCheckResult::Kind::written};
}

} // namespace quorbel
