#pragma once

#include "view/usage_view.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// Another account beside the session's, shown only while it is at --warn or above.
struct OtherAccount {
  std::string name;
  UsageView view;
};

// What Claude Code's status line shows: the session's own facts, the view of the session's account
// (its windows merged with the session's, see withSessionWindows()), and the other accounts.
struct StatusLineContent {
  std::optional<std::string> model;         // cleaned
  std::optional<double> contextUsedPercent; // of the session's context window
  std::optional<UsageView> account;         // none without a snapshot or session numbers
  std::vector<OtherAccount> others;
};

struct StatusLineStyle {
  bool color = false;      // ANSI SGR by level
  std::size_t columns = 0; // 0: no limit
  int lines = 1;           // 2 adds each window's reset and trajectory
};

// One line (or two) without the final newline. Parts that do not fit `columns` go, the least
// useful first: the model's name, the context, other accounts, the five-hour countdown, model
// limits, the weekly window, the service's trouble (shown only while the status page's fresh answer
// says something is wrong), the five-hour window, the money; the status mark goes last, and what
// still does not fit is cut. Never wider than `columns`.
std::string formatStatusLine(const StatusLineContent &content, const StatusLineStyle &style);

} // namespace quorbel
