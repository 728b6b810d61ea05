#include "view/window_pace.hpp"

#include "model/duration_text.hpp"
#include "view/clock_text.hpp"

#include <algorithm>
#include <cmath>

namespace quorbel {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using SecondsF = std::chrono::duration<double>;

constexpr std::int64_t kFullPercent = 100;
// In the first tenth of a window a handful of messages would swing a projection wildly.
constexpr std::int64_t kProjectionFromElapsedPercent = 10;
// Projections are worked out in floating point and may land a hair before the change they
// predict; waking a moment later costs nothing, waking early costs a second wake.
constexpr milliseconds kFloatMargin{1};
// The samples of one period carry its reset time, give or take the endpoint's rounding; periods
// lie at least a five-hour window apart.
constexpr milliseconds kSamePeriodTolerance = std::chrono::minutes{10};

// Where a window stands: its start, its length and how much of it has run, within 0..length.
struct Span {
  Instant start;
  milliseconds length;
  milliseconds elapsed;

  Span(Instant resetsAt, seconds windowLength, Instant now)
      : start(resetsAt - windowLength), length(windowLength),
        elapsed(std::clamp<milliseconds>(now - start, milliseconds{0}, length)) {}

  std::int64_t elapsedPercent() const { return elapsed.count() * 100 / length.count(); }
  double elapsedSeconds() const { return SecondsF(elapsed).count(); }
  double lengthSeconds() const { return SecondsF(length).count(); }
  Instant at(double secondsFromStart) const {
    return start + std::chrono::duration_cast<milliseconds>(SecondsF(secondsFromStart));
  }
};

// Seconds before the reset at which a window at `percent` runs out, the rate being `percent` over
// the elapsed part: the reset is length - elapsed away, running out (100 - p) * elapsed / p.
double runOutBeforeResetSeconds(const Span &span, double percent) {
  return span.lengthSeconds() - span.elapsedSeconds() * kFullPercent / percent;
}

// Percent per second from the earliest to the latest sample of the period that resets at
// `resetsAt` within the last hour before `now`, when they lie far enough apart to tell.
std::optional<double> lastHourRate(const std::vector<UsagePoint> &recent, Instant resetsAt,
                                   Instant now) {
  const UsagePoint *first = nullptr;
  const UsagePoint *last = nullptr;
  for (const UsagePoint &point : recent) {
    if (point.at < now - kRecentRateSpan || point.at > now || !point.resetsAt ||
        std::chrono::abs(*point.resetsAt - resetsAt) > kSamePeriodTolerance) {
      continue;
    }
    if (first == nullptr || point.at < first->at) {
      first = &point;
    }
    if (last == nullptr || point.at > last->at) {
      last = &point;
    }
  }
  if (first == nullptr || last->at - first->at < kRecentRateMinimum) {
    return std::nullopt;
  }
  // Within one period use only grows; a dip is the endpoint's rounding, not time given back.
  return std::max(0.0,
                  double(last->percent - first->percent) / SecondsF(last->at - first->at).count());
}

} // namespace

std::optional<WindowPace> paceOf(std::int64_t percent, std::optional<Instant> resetsAt,
                                 seconds length, Instant now,
                                 const std::vector<UsagePoint> *recent) {
  if (!resetsAt || *resetsAt <= now || length <= seconds{0}) {
    return std::nullopt;
  }
  const Span span(*resetsAt, length, now);
  WindowPace pace;
  pace.elapsedShare = double(span.elapsed.count()) / double(span.length.count());
  pace.elapsedPercent = span.elapsedPercent();
  if (percent >= kFullPercent) {
    pace.usedUp = true;
    pace.untilRunOut = seconds{0};
    pace.runOutBeforeReset = std::chrono::floor<seconds>(*resetsAt - now);
  }
  if (pace.elapsedPercent < kProjectionFromElapsedPercent) {
    return pace;
  }
  const std::optional<double> rate =
      recent != nullptr ? lastHourRate(*recent, *resetsAt, now) : std::nullopt;
  if (recent != nullptr) {
    pace.rate = rate ? PaceRate::lastHour : PaceRate::sinceStart;
  }
  const double toReset = SecondsF(*resetsAt - now).count();
  pace.projectedPercent =
      rate ? double(percent) + *rate * toReset : double(percent) / pace.elapsedShare;
  if (!pace.usedUp && *pace.projectedPercent > double(kFullPercent)) {
    // A projection past 100 % needs a rate above zero.
    const double before = rate ? toReset - double(kFullPercent - percent) / *rate
                               : runOutBeforeResetSeconds(span, double(percent));
    pace.runOutBeforeReset = seconds(std::int64_t(std::floor(before)));
    pace.untilRunOut = seconds(std::int64_t(std::floor(toReset - before)));
    const std::int64_t shown = pace.runOutBeforeReset->count();
    const std::int64_t step = durationStep(shown);
    pace.runOutAt = *resetsAt - seconds(step == 0 ? 0 : shown / step * step);
  }
  return pace;
}

std::string paceText(const WindowPace &pace, const std::string &runOutClock) {
  std::string text = std::to_string(pace.elapsedPercent) + " % of the window elapsed";
  if (pace.usedUp) {
    return text + ", already used up";
  }
  if (pace.runOutBeforeReset) {
    text += ", on pace to run out about " +
            (runOutClock.empty() ? std::string() : runOutClock + ", ") +
            formatDuration(*pace.runOutBeforeReset) + " before reset";
  } else if (pace.projectedPercent) {
    text += ", on pace for about " + std::to_string(std::llround(*pace.projectedPercent)) +
            " % at reset";
  } else {
    return text;
  }
  if (pace.rate) {
    text += *pace.rate == PaceRate::lastHour ? " (rate of the last hour)"
                                             : " (average since the window began)";
  }
  return text;
}

std::string trajectoryText(const WindowPace &pace, Instant now) {
  if (pace.usedUp) {
    return "used up";
  }
  if (pace.runOutAt && pace.runOutBeforeReset) {
    return "runs out about " + localClock(*pace.runOutAt, now) + ", " +
           formatDuration(*pace.runOutBeforeReset) + " before reset";
  }
  return pace.projectedPercent ? "lasts to reset" : "";
}

std::optional<Instant> nextPaceChange(std::int64_t percent, std::optional<Instant> resetsAt,
                                      seconds length, Instant now) {
  if (!resetsAt || *resetsAt <= now || length <= seconds{0}) {
    return std::nullopt;
  }
  const Span span(*resetsAt, length, now);
  const std::int64_t shownElapsed = span.elapsedPercent();
  Instant next = span.start + span.length * (shownElapsed + 1) / 100;
  if (percent > 0 && percent < kFullPercent && shownElapsed >= kProjectionFromElapsedPercent) {
    const double p = double(percent);
    const double projected = p * span.lengthSeconds() / span.elapsedSeconds();
    double changesAt = 0; // seconds from the window's start
    if (projected > double(kFullPercent)) {
      // Running out comes ever closer to the reset; the text changes as it crosses each step
      // formatDuration() shows, and at the last step the projection falls to 100 %.
      const auto shown = std::int64_t(std::floor(runOutBeforeResetSeconds(span, p)));
      const std::int64_t step = durationStep(shown);
      const std::int64_t below = step == 0 ? 0 : shown / step * step;
      changesAt = (span.lengthSeconds() - double(below)) * p / double(kFullPercent);
    } else {
      // p * length / elapsed falls below the rounding edge of the percent shown now.
      const double shown = double(std::llround(projected));
      changesAt = p * span.lengthSeconds() / (shown - 0.5);
    }
    next = std::min(next, std::max(span.at(changesAt) + kFloatMargin, now + kFloatMargin));
  }
  if (next >= *resetsAt) {
    return std::nullopt;
  }
  return next;
}

} // namespace quorbel
