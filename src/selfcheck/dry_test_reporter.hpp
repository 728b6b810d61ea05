#pragma once

#include "runtime/log_sink.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace quorbel {

// Prints one line per check and remembers the labels of the failed ones, in order.
class DryTestReporter {
public:
  explicit DryTestReporter(LogSink &out) : out_(out) {}

  // A failed check is recorded, never fatal: the run goes on to the next check.
  void check(bool ok, std::string_view label);

  // A scenario title, with the empty line that stands before each one.
  void title(std::string_view text);

  // One plain line of the report; the newline is added here.
  void line(std::string_view text);

  const std::vector<std::string> &failures() const { return failures_; }

private:
  LogSink &out_;
  std::vector<std::string> failures_;
};

} // namespace quorbel
