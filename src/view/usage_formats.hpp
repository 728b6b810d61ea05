#pragma once

#include "view/usage_view.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorbel {

enum class OutputFormat { text, longText, waybar, json, prometheus };

std::optional<OutputFormat> outputFormatNamed(std::string_view name);

// One line for tmux, polybar and the Claude Code status line, e.g. "5h 41% · 7d 14%".
std::string formatText(const UsageView &view);
// A few lines for a person: bars, reset times in local time, plan, status in words, data age.
std::string formatLong(const UsageView &view);
// One JSON object as waybar's custom module reads it with "return-type": "json". Its class is
// an array: the status class unless the data is plainly up to date, "expired" beside
// sessionInactive when the token has only expired, then the level when there are numbers, e.g.
// ["rateLimited", "warning"], ["sessionInactive", "expired", "ok"] or ["ok"].
std::string formatWaybar(const UsageView &view);
// The snapshot plus what a script would otherwise compute, one JSON object.
std::string formatJson(const UsageView &view);

// Each format without its final newline; nothing for prometheus, whose metrics name their account
// (formatPrometheus()).
std::string formatView(const UsageView &view, OutputFormat format);

// A window's figure as the bar formats show it: "41%", or with --show remaining "59% left".
std::string windowFigure(const UsageView &view, const WindowView &window);

// What the one-line text adds after the numbers for the status: "", " (stale)", " (rate
// limited)", " (token expired)", " (signed out)" or " (no data yet)"; `brief` gives the shorter
// " (limited)", " (expired)" and " (no data)" for a line that shows several accounts.
std::string statusMarker(const UsageView &view, bool brief = false);

// The one-line text cut to the fullest window, what extra usage costs while it is being paid, and
// the status: "Opus 97% (rate limited)", "5h 100% · $1.20".
std::string formatFullestText(const UsageView &view, bool brief);

// waybar's status classes, those formatWaybar puts before the level: the status class unless the
// data is plainly up to date, then "expired" when the token has only expired.
std::vector<std::string> waybarStatusClasses(const UsageView &view);

// waybar's JSON object from plain text: the one place its text and tooltip are escaped for Pango
// markup, however many accounts they show.
std::string waybarObject(std::string_view text, std::string_view tooltip,
                         const std::vector<std::string> &classes, std::int64_t percentage);

// What a bar format prints when there is no snapshot to show; one well-formed line, no newline.
// Empty for long and prometheus: a collector keeps the last file rather than an empty one.
std::string formatUnavailable(OutputFormat format, std::string_view reason);

} // namespace quorbel
