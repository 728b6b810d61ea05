#include "watch/status_watch.hpp"

#include "view/output_schedule.hpp"
#include "view/snapshot_reading.hpp"

#include <nlohmann/json.hpp>

namespace quorbel {
namespace {

// The json format without the counters that tick every second: a watcher prints a new line when
// anything else changes, and each line's counters are true when it is printed.
void stripCounters(nlohmann::json &object) {
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
}

std::string jsonWithoutCounters(const std::string &json) {
  nlohmann::json object = nlohmann::json::parse(json);
  stripCounters(object);
  if (object.contains("accounts")) {
    for (auto &account : object["accounts"]) {
      if (account.contains("fetchedAt")) {
        stripCounters(account);
      }
    }
  }
  return object.dump();
}

} // namespace

StatusWatch::StatusWatch(std::filesystem::path file, OutputFormat format, ViewOptions options,
                         Output output, Errors errors)
    : file_(std::move(file)), format_(format), options_(options), output_(std::move(output)),
      errors_(std::move(errors)) {}

StatusWatch::StatusWatch(Accounts accounts, OutputFormat format, ViewOptions options, Output output,
                         Errors errors)
    : accounts_(std::move(accounts)), format_(format), options_(options),
      output_(std::move(output)), errors_(std::move(errors)) {}

void StatusWatch::tellOnce(const std::string &problem) {
  // Told once per problem, not at every look while the file stays missing.
  if (problem != lastProblem_ && !problem.empty()) {
    errors_("quorbel-status: " + problem);
  }
  lastProblem_ = problem;
}

StatusWatch::Look StatusWatch::lookAtOne(const std::filesystem::path &file, Instant now) {
  const SnapshotReading reading = SnapshotReading::of(file);
  Look look;
  tellOnce(reading.problem);
  if (reading.snapshot) {
    const UsageView view = UsageView::of(*reading.snapshot, now, options_);
    look.text = formatView(view, format_);
    look.shown = format_ == OutputFormat::json ? jsonWithoutCounters(look.text) : look.text;
    look.wakeAt = nextOutputChange(view, format_, options_);
  } else {
    look.text = formatUnavailable(format_, reading.problem);
    look.shown = look.text;
  }
  return look;
}

StatusWatch::Look StatusWatch::lookAtAll(const std::vector<AccountFile> &accounts, Instant now) {
  const std::vector<AccountView> views = viewAccounts(accounts, now, options_);
  Look look;
  std::string problems;
  for (const AccountView &account : views) {
    if (account.view) {
      const auto wakeAt = nextOutputChange(*account.view, format_, options_);
      if (wakeAt && (!look.wakeAt || *wakeAt < *look.wakeAt)) {
        look.wakeAt = wakeAt;
      }
    } else {
      problems += (problems.empty() ? "" : "; ") + account.name + ": " + account.reading.problem;
    }
  }
  tellOnce(problems);
  look.text = formatAccounts(views, format_);
  look.shown = format_ == OutputFormat::json ? jsonWithoutCounters(look.text) : look.text;
  return look;
}

WatchNext StatusWatch::update(Instant now) {
  Look look;
  if (accounts_) {
    const std::vector<AccountFile> accounts = accounts_();
    files_.clear();
    for (const AccountFile &account : accounts) {
      files_.push_back(account.file);
    }
    // Metrics carry the account's name, which only the accounts' layout gives them.
    look = accounts.size() == 1 && format_ != OutputFormat::prometheus
               ? lookAtOne(accounts.front().file, now)
               : lookAtAll(accounts, now);
  } else {
    look = lookAtOne(file_, now);
  }
  WatchNext next;
  next.wakeAt = look.wakeAt;
  const std::string &text = look.text;
  const std::string &shown = look.shown;
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
