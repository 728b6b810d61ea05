#pragma once

#include "view/usage_formats.hpp"

#include <filesystem>

namespace quorbel {

// The exit status when the watch cannot be set up (inotify or the timer unavailable).
inline constexpr int kWatchFailedExitStatus = 1;

// `quorbel-status --watch`: prints `format` at start and again each time it would read
// differently, until SIGTERM or SIGINT (exit 0) or until its reader goes away (exit 0, quietly).
int runStatusWatch(const std::filesystem::path &file, OutputFormat format,
                   const ViewOptions &options);

// `quorbel-status --notify`: shows desktop notifications as the snapshot calls for them, until
// SIGTERM or SIGINT (exit 0).
int runUsageNotifier(const std::filesystem::path &file, const ViewOptions &options);

// The two above over every account beside `defaultFile`, those whose folders appear later too.
int runAccountsWatch(const std::filesystem::path &defaultFile, OutputFormat format,
                     const ViewOptions &options);
int runAccountsNotifier(const std::filesystem::path &defaultFile, const ViewOptions &options);

} // namespace quorbel
