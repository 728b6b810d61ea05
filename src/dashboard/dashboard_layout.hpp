#pragma once

#include "history/history_sample.hpp"
#include "view/usage_view.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// How a piece of the screen is drawn; the terminal driver maps each to colours or attributes.
enum class Tone { plain, dim, bold, ok, warning, critical };

struct Span {
  std::string text;
  Tone tone = Tone::plain;

  bool operator==(const Span &) const = default;
};

using ScreenLine = std::vector<Span>;

// One account as the dashboard shows it: its view when it has a snapshot, else why not, and the
// history's samples of the last day for the sparklines.
struct DashboardAccount {
  std::string name;
  std::optional<UsageView> view;
  std::string problem;
  std::vector<HistorySample> lastDay;
};

// What the keys have chosen: which accounts (all, or the one at `only`).
struct DashboardChoice {
  std::optional<std::size_t> only;
};

// The whole screen for a terminal of `columns` x `rows`: the service's trouble first, while the
// status page's fresh answer says something is wrong (its mark, then its details); per account a
// heading (name, plan, status, data age), per window a bar with the even-pace mark, the percent,
// the reset countdown, the trajectory in words and the last day as a sparkline, then the money;
// the keys on the last row. A screen too small drops the least needed lines first (sparklines, the
// service's details, then trajectories, model windows, money) and cuts every line to `columns`:
// nothing wraps or scrolls.
std::vector<ScreenLine> layoutDashboard(const std::vector<DashboardAccount> &accounts,
                                        const DashboardChoice &choice, std::size_t columns,
                                        std::size_t rows);

// The lines as plain text, one per line, for tests and for a terminal without colours.
std::string screenText(const std::vector<ScreenLine> &lines);

} // namespace quorbel
