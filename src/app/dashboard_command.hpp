#pragma once

#include "app/status_arguments.hpp"
#include "store/account_location.hpp"
#include "view/usage_view.hpp"

#include <filesystem>
#include <optional>

namespace quorbel {

// `quorbel-status --dashboard`: a live full-screen view of every account beside `defaultFile`
// (or only `chosen`), until `q`, SIGINT, SIGTERM or SIGHUP (exit 0), with the terminal restored
// whatever ends it. Exit 2 when standard input or output is not a terminal, 1 when the terminal
// or the watch cannot be set up.
int runDashboard(const std::filesystem::path &defaultFile, const std::optional<AccountFile> &chosen,
                 const ViewOptions &options, ColorChoice color);

} // namespace quorbel
