#pragma once

#include "view/accounts_view.hpp"
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

  // The accounts to show at this look, found afresh each time.
  using Accounts = std::function<std::vector<AccountFile>()>;

  StatusWatch(std::filesystem::path file, OutputFormat format, ViewOptions options, Output output,
              Errors errors);
  // Follows every account `accounts` finds: one prints exactly as a single file does, several
  // print together.
  StatusWatch(Accounts accounts, OutputFormat format, ViewOptions options, Output output,
              Errors errors);

  WatchNext update(Instant now);

  // The snapshot files the last update read, for the wake source to follow.
  const std::vector<std::filesystem::path> &files() const { return files_; }

private:
  struct Look {
    std::string text;  // what to print
    std::string shown; // what is compared with the last look
    std::optional<Instant> wakeAt;
  };
  Look lookAtOne(const std::filesystem::path &file, Instant now);
  Look lookAtAll(const std::vector<AccountFile> &accounts, Instant now);
  void tellOnce(const std::string &problem);

  std::filesystem::path file_;
  Accounts accounts_;
  std::vector<std::filesystem::path> files_;
  OutputFormat format_;
  ViewOptions options_;
  Output output_;
  Errors errors_;
  std::optional<std::string> lastShown_; // what the last update showed, as compared
  std::string lastProblem_;
  bool printed_ = false;
};

} // namespace quorbel
