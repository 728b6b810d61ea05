#pragma once

#include "runtime/log_sink.hpp"

#include <mutex>
#include <numeric>
#include <string>
#include <vector>

namespace quorbel::testing {

// Keeps every line the code under test logs, newline included. Safe to read from another thread
// while a refresh cycle runs.
class CapturingLog final : public LogSink {
public:
  void writeLine(std::string_view line) override {
    const std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
  }
  std::vector<std::string> lines() const {
    const std::lock_guard lock(mutex_);
    return lines_;
  }
  std::string text() const {
    const auto all = lines();
    return std::accumulate(all.begin(), all.end(), std::string());
  }
  void clear() {
    const std::lock_guard lock(mutex_);
    lines_.clear();
  }

private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

} // namespace quorbel::testing
