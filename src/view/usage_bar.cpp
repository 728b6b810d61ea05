#include "view/usage_bar.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace quorbel {
namespace {

constexpr std::string_view kFullCell = "\u2588";
constexpr std::string_view kEmptyCell = "\u2591";
constexpr std::string_view kPaceMark = "\u2503";

} // namespace

int paceMarkCell(double elapsedShare, int cells) {
  const double share = std::clamp(elapsedShare, 0.0, 1.0);
  return std::clamp(int(std::floor(share * cells)), 0, cells - 1);
}

std::string usageBar(std::int64_t percent, std::optional<double> elapsedShare, int cells) {
  const auto clamped = std::clamp<std::int64_t>(percent, 0, 100);
  const auto filled = int((clamped * cells + 50) / 100);
  const int mark = elapsedShare && cells > 0 ? paceMarkCell(*elapsedShare, cells) : -1;
  std::string text;
  for (int i = 0; i < cells; ++i) {
    text += i == mark ? kPaceMark : i < filled ? kFullCell : kEmptyCell;
  }
  return text;
}

} // namespace quorbel
