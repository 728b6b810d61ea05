#pragma once

#include "model/plan_snapshot.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorbel {

// Why the history could not take a sample. Each kind is logged once until the history works
// again, so a full disk does not fill the log every three minutes.
class HistoryError : public std::runtime_error {
public:
  enum class Kind { locked, corrupt, diskFull, readOnly, other };

  HistoryError(Kind kind, const std::string &message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

private:
  Kind kind_;
};

std::string_view kindName(HistoryError::Kind kind);

// Where fetched snapshots are kept over time. The refresh cycle knows the history only through
// this: it records after the snapshot is written, so the history can never delay or change it.
class HistoryRecording {
public:
  virtual ~HistoryRecording() = default;
  // Adds one sample for a successful fetch, in one transaction. Throws HistoryError; returns a
  // line worth logging when it had to recover (a corrupt file set aside), else nothing.
  virtual std::optional<std::string> record(const PlanSnapshot &snapshot) = 0;
};

} // namespace quorbel
