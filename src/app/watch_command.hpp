#pragma once

#include "view/accounts_view.hpp"
#include "view/usage_formats.hpp"

#include <filesystem>
#include <optional>
#include <string_view>

namespace quorbel {

// The exit status when the watch cannot be set up (inotify or the timer unavailable).
inline constexpr int kWatchFailedExitStatus = 1;

// `quorbel-status --watch`: prints `format` at start and again each time it would read
// differently, until SIGTERM or SIGINT (exit 0) or until its reader goes away (exit 0, quietly).
// With `output`, replaces that file instead of printing, and ends (exit 1) when it cannot.
int runStatusWatch(const AccountFile &account, OutputFormat format, const ViewOptions &options,
                   const std::optional<std::filesystem::path> &output);

// `quorbel-status --notify`: shows desktop notifications as the account's snapshot calls for
// them, remembering what was shown in that account's own state file, until SIGTERM or SIGINT
// (exit 0).
int runUsageNotifier(const AccountFile &account, const ViewOptions &options);

// The two above over every account beside `defaultFile`, those whose folders appear later too.
int runAccountsWatch(const std::filesystem::path &defaultFile, OutputFormat format,
                     const ViewOptions &options,
                     const std::optional<std::filesystem::path> &output);
int runAccountsNotifier(const std::filesystem::path &defaultFile, const ViewOptions &options);

} // namespace quorbel
