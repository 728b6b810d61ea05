#pragma once

#include "model/plan_snapshot.hpp"

#include <string>
#include <vector>

namespace quorbel {

// One account's snapshot as the metrics name it.
struct AccountSnapshot {
  std::string account;
  PlanSnapshot snapshot;
};

// Every account's usage in the Prometheus text exposition format 0.0.4, as node_exporter's
// textfile collector and the Pushgateway read it: each metric a gauge with its HELP and TYPE, its
// samples together, accounts in name order with "default" first (a name given twice counts once).
// A window that is not running has no sample; one whose reset has passed at `now` reads 0, as
// every other format shows it. Every line, the last included, ends in a newline.
std::string formatPrometheus(std::vector<AccountSnapshot> accounts, Instant now);

// A label value as the exposition format quotes it.
std::string prometheusLabelValue(std::string_view text);

} // namespace quorbel
