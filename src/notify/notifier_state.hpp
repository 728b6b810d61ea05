#pragma once

#include "notify/notification_rules.hpp"
#include "store/snapshot_location.hpp"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorbel {

inline constexpr std::string_view kNotifierStateFileName = "notify-state.json";

// Raised by decodeNotifierState(); the message says what was wrong.
class NotifierStateError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

std::string encodeNotifierState(const NotifierState &state);
NotifierState decodeNotifierState(std::string_view text);

// $XDG_STATE_HOME/QuorbelHelper/notify-state.json when XDG_STATE_HOME is absolute, otherwise under
// <home>/.local/state; nothing without either, rather than a shared directory another user could
// plant the file in.
std::optional<std::filesystem::path>
notifierStateLocation(const std::optional<std::string> &xdgStateHome,
                      const std::optional<std::filesystem::path> &home);

// The notifier's state file: read tolerantly, replaced atomically.
class NotifierStateFile {
public:
  explicit NotifierStateFile(std::filesystem::path path);

  // Nothing when there is no file yet; throws NotifierStateError when it cannot be used.
  std::optional<NotifierState> load() const;
  // Throws FileWriteError naming the path and the cause.
  void save(const NotifierState &state) const;
  // Temporary files left by a notifier killed mid-save; once, at start-up.
  void removeStaleTemporaries() const noexcept;

private:
  std::filesystem::path path_;
};

} // namespace quorbel
