#pragma once

#include "icon/usage_icon.hpp"
#include "view/accounts_view.hpp"

#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// What a panel shows of the accounts at one look, laid out from their views.
struct TrayLook {
  IconLook icon;       // the fullest account's
  std::string label;   // the one-line text, shown beside the icon where the host does
  std::string tooltip; // the long format, escaped for the markup hosts read
  bool needsAttention = false;
  std::vector<std::string> rows; // the menu's information rows, as a person reads them

  bool operator==(const TrayLook &) const = default;
};

TrayLook trayLookOf(const std::vector<AccountView> &accounts);

// The menu's rows alone, which a host asks for when the menu opens.
std::vector<std::string> trayRowsOf(const std::vector<AccountView> &accounts);

// The next moment the icon, label, tooltip or status may change with the files as they are.
std::optional<Instant> nextTrayChange(const std::vector<AccountView> &accounts,
                                      const ViewOptions &options);

// The line that tells a person without a helper how to start one.
inline constexpr const char *kStartHelperHint =
    "Start the helper: systemctl --user enable --now quorbel-helper";

} // namespace quorbel
