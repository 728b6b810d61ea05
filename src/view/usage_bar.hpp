#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorbel {

// A bar of `cells` cells filled to `percent` (clamped to 0..100), with the even-pace mark "┃" in
// the cell where use would stand if spent evenly over the window: `elapsedShare` (0..1) of it.
std::string usageBar(std::int64_t percent, std::optional<double> elapsedShare, int cells);

// Which cell usageBar() marks, 0..cells-1.
int paceMarkCell(double elapsedShare, int cells);

} // namespace quorbel
