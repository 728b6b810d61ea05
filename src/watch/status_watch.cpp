#include "watch/status_watch.hpp"

#include "view/output_schedule.hpp"
#include "view/snapshot_reading.hpp"

#include <nlohmann/json.hpp>

namespace quorbel {
namespace {

// The json format without the counters that tick every second: a watcher prints a new line when
// anything else changes, and each line's counters are true when it is printed.
std::string jsonWithoutCounters(const UsageView &view) {
  nlohmann::json object = nlohmann::json::parse(formatJson(view));
  const auto strip = [](nlohmann::json &window) {
    if (window.is_object()) {
      window.erase("secondsToReset");
      window.erase("pace");
    }
  };
  object.erase("ageSeconds");
  strip(object["session"]);
  strip(object["allModels"]);
  for (auto &window : object["modelWindows"]) {
    strip(window);
  }
  return object.dump();
}

} // namespace

StatusWatch::StatusWatch(std::filesystem::path file, OutputFormat format, ViewOptions options,
                         Output output, Errors errors)
    : file_(std::move(file)), format_(format), options_(options), output_(std::move(output)),
      errors_(std::move(errors)) {}

WatchNext StatusWatch::update(Instant now) {
  const SnapshotReading reading = SnapshotReading::of(file_);
  WatchNext next;
  std::string text;
  std::string shown;
  if (reading.snapshot) {
    lastProblem_.clear();
    const UsageView view = UsageView::of(*reading.snapshot, now, options_);
    text = formatView(view, format_);
    shown = format_ == OutputFormat::json ? jsonWithoutCounters(view) : text;
    next.wakeAt = nextOutputChange(view, format_, options_);
  } else {
    // Told once per problem, not at every look while the file stays missing.
    if (reading.problem != lastProblem_) {
      errors_("quorbel-status: " + reading.problem);
      lastProblem_ = reading.problem;
    }
    text = formatUnavailable(format_, reading.problem);
    shown = text;
  }
  if (shown == lastShown_) {
    return next;
  }
  lastShown_ = shown;
  if (text.empty()) {
    return next; // the long format has no stand-in line; standard error said why
  }
  const std::string separator = format_ == OutputFormat::longText && printed_ ? "\n" : "";
  printed_ = true;
  next.stop = !output_(separator + text + "\n");
  return next;
}

} // namespace quorbel
