#include "view/prometheus_text.hpp"

#include "model/display_text.hpp"
#include "store/account_location.hpp"
#include "view/money_text.hpp"
#include "view/usage_view.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <set>

namespace quorbel {
namespace {

constexpr std::int64_t kPercentDecimals = 2;
constexpr std::int64_t kMillisecondDecimals = 3;

constexpr std::array kStatuses{PlanStatus::active, PlanStatus::rateLimited,
                               PlanStatus::sessionInactive, PlanStatus::noData};
constexpr std::array kInactiveReasons{InactiveReason::expired, InactiveReason::missing,
                                      InactiveReason::rejected, InactiveReason::unreadable};

// A label value as the exposition format quotes it: backslash, double quote and line feed escaped.
std::string labelValue(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
    case '\\':
      escaped += "\\\\";
      break;
    case '"':
      escaped += "\\\"";
      break;
    case '\n':
      escaped += "\\n";
      break;
    default:
      escaped += c;
    }
  }
  return escaped;
}

// `value × 10^-decimals` as the exposition writes numbers: exact, without trailing zeros.
std::string decimalText(std::int64_t value, std::int64_t decimals) {
  std::string text = exactDecimal(value, decimals);
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') {
      text.pop_back();
    }
    if (text.back() == '.') {
      text.pop_back();
    }
  }
  return text;
}

std::string secondsText(Instant instant) {
  return decimalText(instant.time_since_epoch().count(), kMillisecondDecimals);
}

struct Metric {
  std::string_view name;
  std::string_view help;
};

// Samples are grouped by metric, as the format requires, each group in account order.
class Exposition {
public:
  void begin(const Metric &metric) {
    name_ = metric.name;
    append({"# HELP ", metric.name, " ", metric.help, "\n# TYPE ", metric.name, " gauge\n"});
  }

  void sample(std::string_view account, std::string_view labelName, std::string_view label,
              const std::string &value) {
    append({name_, "{account=\"", labelValue(account), "\""});
    if (!labelName.empty()) {
      append({",", labelName, "=\"", labelValue(label), "\""});
    }
    append({"} ", value, "\n"});
  }

  std::string text() && { return std::move(text_); }

private:
  // Piece by piece: GCC 12 at -O3 reports a false -Wrestrict for `"{" + std::string(...)`.
  void append(std::initializer_list<std::string_view> pieces) {
    for (const std::string_view piece : pieces) {
      text_ += piece;
    }
  }

  std::string_view name_;
  std::string text_;
};

struct AccountLook {
  std::string account;
  UsageView view;
  std::vector<WindowView> models; // one per name as shown; two raw names may clean to one
};

// Once per account, the default first; its model windows under their names as shown.
std::vector<AccountLook> accountLooks(std::vector<AccountSnapshot> accounts, Instant now) {
  std::stable_sort(accounts.begin(), accounts.end(), [](const auto &a, const auto &b) {
    const bool aDefault = a.account == kDefaultAccountName;
    const bool bDefault = b.account == kDefaultAccountName;
    return aDefault != bDefault ? aDefault : a.account < b.account;
  });
  std::vector<AccountLook> looks;
  for (const AccountSnapshot &entry : accounts) {
    if (!looks.empty() && looks.back().account == entry.account) {
      continue;
    }
    AccountLook look{entry.account, UsageView::of(entry.snapshot, now, {}), {}};
    std::set<std::string> seen;
    for (WindowView &window : look.view.models) {
      window.label = displayText(window.label);
      if (seen.insert(window.label).second) {
        look.models.push_back(window);
      }
    }
    looks.push_back(std::move(look));
  }
  return looks;
}

void planWindowMetrics(Exposition &out, const std::vector<AccountLook> &looks) {
  const auto planWindows = [&](const AccountLook &look, auto &&emit) {
    if (look.view.session) {
      emit("five_hour", *look.view.session);
    }
    if (look.view.allModels) {
      emit("seven_day", *look.view.allModels);
    }
  };

  out.begin({"quorbel_usage_ratio",
             "Share of a plan window used, from 0 to 1; 0 once its reset has passed. No sample "
             "while the window is not running."});
  for (const AccountLook &look : looks) {
    planWindows(look, [&](std::string_view window, const WindowView &shown) {
      out.sample(look.account, "window", window, decimalText(shown.shownPercent, kPercentDecimals));
    });
  }
  out.begin({"quorbel_usage_resets_timestamp_seconds",
             "When a plan window resets, in seconds since the epoch."});
  for (const AccountLook &look : looks) {
    planWindows(look, [&](std::string_view window, const WindowView &shown) {
      if (shown.resetsAt) {
        out.sample(look.account, "window", window, secondsText(*shown.resetsAt));
      }
    });
  }
}

void modelMetrics(Exposition &out, const std::vector<AccountLook> &looks) {
  out.begin({"quorbel_model_usage_ratio",
             "Share of a model's weekly limit used, from 0 to 1; 0 once its reset has passed."});
  for (const AccountLook &look : looks) {
    for (const WindowView &model : look.models) {
      out.sample(look.account, "model", model.label,
                 decimalText(model.shownPercent, kPercentDecimals));
    }
  }
  out.begin({"quorbel_model_usage_resets_timestamp_seconds",
             "When a model's weekly limit resets, in seconds since the epoch."});
  for (const AccountLook &look : looks) {
    for (const WindowView &model : look.models) {
      if (model.resetsAt) {
        out.sample(look.account, "model", model.label, secondsText(*model.resetsAt));
      }
    }
  }
}

void statusMetrics(Exposition &out, const std::vector<AccountLook> &looks) {
  out.begin({"quorbel_snapshot_fetched_timestamp_seconds",
             "When the helper last fetched the account's usage, in seconds since the epoch."});
  for (const AccountLook &look : looks) {
    out.sample(look.account, "", "", secondsText(look.view.snapshot.fetchedAt));
  }
  out.begin({"quorbel_status", "The helper's status for the account: 1 for the current one, 0 "
                               "for the others."});
  for (const AccountLook &look : looks) {
    const PlanStatus current = look.view.snapshot.effectiveStatus();
    for (const PlanStatus status : kStatuses) {
      out.sample(look.account, "status", rawValue(status), status == current ? "1" : "0");
    }
  }
  // A stateset beside the status: an expired token, which the CLI renews by itself, must be told
  // apart from a sign-out, which waits for the user.
  out.begin({"quorbel_inactive_reason",
             "Why the account's session is inactive: 1 for the current reason, 0 for the others; "
             "all 0 while it is not inactive."});
  for (const AccountLook &look : looks) {
    const std::optional<InactiveReason> current = look.view.snapshot.effectiveInactiveReason();
    for (const InactiveReason reason : kInactiveReasons) {
      out.sample(look.account, "reason", rawValue(reason), reason == current ? "1" : "0");
    }
  }
}

void extraUsageMetrics(Exposition &out, const std::vector<AccountLook> &looks) {
  const auto money = [&](const AccountLook &look) -> const ExtraUsage * {
    const auto &extra = look.view.snapshot.extraUsage;
    return extra && extra->wellFormed() ? &*extra : nullptr;
  };
  out.begin({"quorbel_extra_usage_used",
             "Extra usage spent this month beyond the plan, in major units of the currency."});
  for (const AccountLook &look : looks) {
    if (const ExtraUsage *extra = money(look)) {
      out.sample(look.account, "currency", extra->currency,
                 decimalText(extra->used, extra->exponent));
    }
  }
  out.begin({"quorbel_extra_usage_limit",
             "The monthly cap on extra usage, in major units of the currency. No sample without "
             "a cap."});
  for (const AccountLook &look : looks) {
    if (const ExtraUsage *extra = money(look); extra && extra->limit) {
      out.sample(look.account, "currency", extra->currency,
                 decimalText(*extra->limit, extra->exponent));
    }
  }
}

} // namespace

std::string formatPrometheus(std::vector<AccountSnapshot> accounts, Instant now) {
  const std::vector<AccountLook> looks = accountLooks(std::move(accounts), now);
  Exposition out;
  planWindowMetrics(out, looks);
  modelMetrics(out, looks);
  statusMetrics(out, looks);
  extraUsageMetrics(out, looks);
  return std::move(out).text();
}

std::string prometheusLabelValue(std::string_view text) { return labelValue(text); }

} // namespace quorbel
