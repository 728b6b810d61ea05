#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorbel {

// The colour a gauge takes: a level's, or grey for data that cannot be trusted or is not there.
enum class IconTone { ok, warning, critical, grey };

// What the corner of the icon says about the account beside the numbers.
enum class IconMark { none, rateLimited, signedOut };

// Everything an icon shows; two equal looks draw the same pixels.
struct IconLook {
  std::optional<std::int64_t> percent; // the gauge's figure, 0 to 100; none draws an empty ring
  IconTone tone = IconTone::grey;
  IconMark mark = IconMark::none;

  bool operator==(const IconLook &) const = default;
};

struct Rgb {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;

  bool operator==(const Rgb &) const = default;
};

Rgb toneColour(IconTone tone);

// One square icon as StatusNotifierItem hosts take it: four bytes per pixel, alpha, red, green,
// blue in that order (network byte order), not premultiplied, rows from the top.
struct IconPixmap {
  int size = 0;
  std::vector<std::uint8_t> argb;
};

// Panels ask for 16 to 24 px, HiDPI ones for twice that; hosts scale the nearest.
inline constexpr std::array<int, 5> kIconSizes{16, 22, 24, 32, 48};
// Below this the digits would be a smudge: smaller icons show the gauge alone.
inline constexpr int kSmallestIconWithDigits = 22;

// A ring filled clockwise from the top to the percent, the percent as digits inside where the
// size allows, and the mark as a badge in the lower right corner.
IconPixmap drawUsageIcon(const IconLook &look, int size);

// Geometry a test needs to find the ring's pixels.
struct RingGeometry {
  double centre = 0;
  double radius = 0; // the middle of the ring's stroke
  double width = 0;
};
RingGeometry ringGeometry(int size);

// The icons of every size for one look, drawn again only when the look changes.
class UsageIconSet {
public:
  // True when the look differs from the last one and the pixmaps were drawn again.
  bool update(const IconLook &look);
  const std::vector<IconPixmap> &pixmaps() const { return pixmaps_; }

private:
  std::optional<IconLook> look_;
  std::vector<IconPixmap> pixmaps_;
};

} // namespace quorbel
