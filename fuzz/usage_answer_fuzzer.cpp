// A 200 answer's body, decoded and mapped into a snapshot by the live provider itself.
#include "source/live_plan_usage_provider.hpp"

#include <cstdlib>

using namespace quorbel;

namespace {

class FixedCredentials final : public CredentialsReading {
public:
  Credentials readCredentials() const override {
    Credentials credentials;
    credentials.claudeAiOauth.accessToken = "fuzz-token";
    credentials.claudeAiOauth.expiresAt = 4102444800000.0; // 2100
    return credentials;
  }
  std::string location() const override { return "fixed credentials"; }
};

class CannedAnswer final : public HttpSession {
public:
  HttpResponse get(const HttpGetRequest &) override { return HttpResponse{200, body}; }
  void cancelOn(std::stop_token) override {}
  std::string body;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const auto credentials = std::make_shared<FixedCredentials>();
  static const auto session = std::make_shared<CannedAnswer>();
  static LivePlanUsageProvider provider(credentials, session, "0.0.0-fuzz");
  session->body.assign(reinterpret_cast<const char *>(data), size);
  try {
    const PlanSnapshot snapshot = provider.fetch();
    // A fetched snapshot is active, every percent lies in 0..100, and model windows come one per
    // model, in the order of their names.
    const auto inRange = [](std::int64_t percent) { return percent >= 0 && percent <= 100; };
    if (snapshot.status != PlanStatus::active ||
        (snapshot.session && !inRange(snapshot.session->percent)) ||
        (snapshot.allModels && !inRange(snapshot.allModels->percent))) {
      std::abort();
    }
    for (std::size_t i = 0; i < snapshot.modelWindows.size(); ++i) {
      if (!inRange(snapshot.modelWindows[i].percent) || snapshot.modelWindows[i].model.empty() ||
          (i > 0 && !(snapshot.modelWindows[i - 1].model < snapshot.modelWindows[i].model))) {
        std::abort();
      }
    }
  } catch (const PlanUsageError &error) {
    if (error.kind() != PlanUsageError::Kind::decoding) {
      std::abort();
    }
  }
  return 0;
}
