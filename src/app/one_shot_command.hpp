#pragma once

#include "view/accounts_view.hpp"
#include "view/usage_formats.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// Prints `line`, or makes it the whole `output` file; false, said on standard error, when that file
// cannot be written.
bool emitOnce(const std::string &line, const std::optional<std::filesystem::path> &output);

// `quorbel-status` shown once for one account. Returns the exit status: 0 shown, 3 no snapshot
// yet, 4 unreadable (0 for waybar on standard output, whose line carries the trouble), 5 the
// output not written.
int runOnce(const AccountFile &account, OutputFormat format, const ViewOptions &options,
            const std::optional<std::filesystem::path> &output);

// The same for several accounts at once (and for metrics, which name their account). Each account
// without a snapshot is named on standard error and shown as such; the exit status tells trouble
// only when no account could be shown.
int runAccountsOnce(const std::vector<AccountFile> &accounts, OutputFormat format,
                    const ViewOptions &options, const std::optional<std::filesystem::path> &output);

} // namespace quorbel
