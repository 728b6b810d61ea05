#include "view/session_input.hpp"

#include "model/display_text.hpp"

#include <nlohmann/json.hpp>

#include <cmath>

namespace quorbel {
namespace {

using nlohmann::json;

// Endpoint reset times carry fractions that jitter between answers; periods lie hours apart.
constexpr std::chrono::minutes kSamePeriodTolerance{10};
// Past this, a reset time is no date a session can mean (the year 9999 ends about here).
constexpr double kLatestResetSeconds = 253402300799.0;
// A display name is a word or two; a long one is cut rather than let it fill the line.
constexpr std::size_t kMaxModelNameBytes = 64;

const json *member(const json &object, const char *name) {
  if (!object.is_object()) {
    return nullptr;
  }
  const auto found = object.find(name);
  return found == object.end() ? nullptr : &*found;
}

std::optional<double> percentIn(const json *value) {
  if (value == nullptr || !value->is_number()) {
    return std::nullopt;
  }
  const double percent = value->get<double>();
  if (!std::isfinite(percent) || percent < 0 || percent > 100) {
    return std::nullopt;
  }
  return percent;
}

std::optional<SessionWindow> windowIn(const json *limits, const char *name) {
  const json *window = limits != nullptr ? member(*limits, name) : nullptr;
  if (window == nullptr) {
    return std::nullopt;
  }
  const std::optional<double> used = percentIn(member(*window, "used_percentage"));
  const json *resets = member(*window, "resets_at");
  if (!used || resets == nullptr || !resets->is_number()) {
    return std::nullopt;
  }
  const double seconds = resets->get<double>();
  if (!std::isfinite(seconds) || seconds <= 0 || seconds > kLatestResetSeconds) {
    return std::nullopt;
  }
  return SessionWindow{*used, instantFromUnixSeconds(seconds)};
}

std::optional<std::string> modelIn(const json &document) {
  const json *model = member(document, "model");
  const json *name = model != nullptr ? member(*model, "display_name") : nullptr;
  if (name == nullptr || !name->is_string()) {
    return std::nullopt;
  }
  std::string text = displayText(name->get<std::string>());
  if (text.size() > kMaxModelNameBytes) {
    // Cut at a character's start, so the cut never leaves half a UTF-8 sequence.
    std::size_t cut = kMaxModelNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
      --cut;
    }
    text = text.substr(0, cut) + "\u2026";
  }
  if (text.empty()) {
    return std::nullopt;
  }
  return text;
}

void mergeWindow(std::optional<PlanWindow> &kept, const std::optional<SessionWindow> &session,
                 Instant now) {
  if (!session || session->resetsAt <= now) {
    return;
  }
  const bool running = kept && kept->resetsAt > now;
  if (running && std::chrono::abs(kept->resetsAt - session->resetsAt) > kSamePeriodTolerance) {
    return;
  }
  kept = PlanWindow{percentFromUtilization(session->usedPercent), session->resetsAt};
}

} // namespace

SessionInput sessionInputOf(std::string_view document) {
  SessionInput input;
  const json parsed = json::parse(document, nullptr, false);
  if (!parsed.is_object()) {
    return input;
  }
  input.model = modelIn(parsed);
  if (const json *context = member(parsed, "context_window")) {
    input.contextUsedPercent = percentIn(member(*context, "used_percentage"));
  }
  const json *limits = member(parsed, "rate_limits");
  input.fiveHour = windowIn(limits, "five_hour");
  input.sevenDay = windowIn(limits, "seven_day");
  return input;
}

PlanSnapshot withSessionWindows(PlanSnapshot snapshot, const SessionInput &session, Instant now) {
  mergeWindow(snapshot.session, session.fiveHour, now);
  mergeWindow(snapshot.allModels, session.sevenDay, now);
  return snapshot;
}

} // namespace quorbel
