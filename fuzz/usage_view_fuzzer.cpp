// What a reader does with a snapshot file it finds: the view at any moment a clock may show, every
// format, when the output next changes, and what the notifier would tell. A file may hold any
// date from year 0000 to 9999 and any 64-bit percent.
//
// Input: a 14-byte header, then the snapshot text. The header holds, little-endian, "now" as
// milliseconds after 0000-01-01 (8 bytes, wrapped into years 0000 to 9999), the warning and the
// critical percent (1 byte each, wrapped into 0..100 and ordered), and the stale age in seconds
// (4 bytes, wrapped into what --stale-after accepts).
#include "model/snapshot_json.hpp"
#include "notify/notification_rules.hpp"
#include "notify/notifier_state.hpp"
#include "view/output_schedule.hpp"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <ctime>

using namespace quorbel;

namespace {

constexpr std::size_t kHeaderSize = 14;
// How many moments of change a run follows, as a watch would wake for them.
constexpr int kFollowedChanges = 3;

std::uint64_t littleEndian(const std::uint8_t *bytes, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = count; i-- > 0;) {
    value = value << 8 | bytes[i];
  }
  return value;
}

void require(bool holds) {
  if (!holds) {
    std::abort();
  }
}

void checkFormats(const PlanSnapshot &snapshot, Instant now, const ViewOptions &options) {
  const UsageView first = UsageView::of(snapshot, now, options);
  for (const OutputFormat format :
       {OutputFormat::text, OutputFormat::longText, OutputFormat::waybar, OutputFormat::json}) {
    UsageView view = first;
    for (int step = 0; step < kFollowedChanges; ++step) {
      const std::string shown = formatView(view, format);
      if (format == OutputFormat::waybar || format == OutputFormat::json) {
        require(nlohmann::json::accept(shown));
      }
      const auto next = nextOutputChange(view, format, options);
      if (!next) {
        break;
      }
      // A moment of change at or before now would have a watch spin.
      require(*next > view.now);
      view = UsageView::of(snapshot, *next, options);
    }
  }
}

void checkNotifications(const UsageView &view, const ViewOptions &options) {
  // Each window can rise through three levels and reset once, and the session can sign out: a
  // notifier told more than that repeats itself without end.
  const std::size_t windows =
      (view.session ? 1 : 0) + (view.allModels ? 1 : 0) + view.models.size();
  const std::size_t most = 1 + 4 * windows;
  NotifierState state = settledState({}, view);
  std::size_t told = 0;
  while (const auto due = nextNotification(state, view, options)) {
    require(++told <= most);
    state = settledState(due->stateAfter, view);
  }
  if (const auto next = nextNotificationTime(state, view.now)) {
    require(*next > view.now);
  }
  require(decodeNotifierState(encodeNotifierState(state)) == state);
}

} // namespace

// Local midnights and day names are worked out in local time; a zone with summer time has days of
// 23 and 25 hours.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < kHeaderSize) {
    return 0;
  }
  const auto span = std::uint64_t((kLatestInstant - kEarliestInstant).count()) + 1;
  const Instant now = kEarliestInstant + std::chrono::milliseconds(littleEndian(data, 8) % span);
  ViewOptions options;
  options.warn = data[8] % 101;
  options.critical = data[9] % 101;
  if (options.warn > options.critical) {
    std::swap(options.warn, options.critical);
  }
  options.staleAfter =
      std::chrono::seconds(littleEndian(data + 10, 4) % (kLongestDurationOption.count() + 1));

  PlanSnapshot snapshot;
  try {
    snapshot = decodeSnapshot(
        std::string_view(reinterpret_cast<const char *>(data) + kHeaderSize, size - kHeaderSize));
  } catch (const SnapshotFormatError &) {
    return 0;
  }
  checkFormats(snapshot, now, options);
  checkNotifications(UsageView::of(snapshot, now, options), options);
  return 0;
}
