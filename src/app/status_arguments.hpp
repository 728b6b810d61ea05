#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

// "80": a whole percent from 0 to 100, as --warn and --critical take it; false for anything else.
bool parsePercent(const char *text, std::int64_t &value);

enum class DurationParse { ok, malformed, tooLong };

// "900", "900s", "15m", "1h" or "2d", as --stale-after and --since take it, up to
// kLongestDurationOption.
DurationParse parseDuration(const char *text, std::chrono::seconds &value);

// --color: whether a terminal surface uses colour. `automatic` leaves it to NO_COLOR and TERM.
enum class ColorChoice { automatic, always, never };

std::optional<ColorChoice> colorChoiceNamed(std::string_view name);

// Whether to colour under `choice`, given $NO_COLOR and $TERM: a set, non-empty NO_COLOR or a
// dumb terminal turn colour off unless asked for by --color always.
bool colorWanted(ColorChoice choice, const std::optional<std::string> &noColor,
                 const std::optional<std::string> &term);

} // namespace quorbel
