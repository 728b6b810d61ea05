#pragma once

#include "view/usage_formats.hpp"
#include "watch/watch_loop.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

// What `quorbel-status --watch` does at each look: reads the snapshot, prints the format when it
// reads differently from what was printed last, and says when it next could.
class StatusWatch {
public:
  // Writes one update, newline included; false once the reader has gone.
  using Output = std::function<bool(std::string_view update)>;
  // Takes one message for standard error, without its newline.
  using Errors = std::function<void(std::string_view message)>;

  StatusWatch(std::filesystem::path file, OutputFormat format, ViewOptions options, Output output,
              Errors errors);

  WatchNext update(Instant now);

private:
  std::filesystem::path file_;
  OutputFormat format_;
  ViewOptions options_;
  Output output_;
  Errors errors_;
  std::optional<std::string> lastShown_; // what the last update showed, as compared
  std::string lastProblem_;
  bool printed_ = false;
};

} // namespace quorbel
