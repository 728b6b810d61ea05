#include "icon/usage_icon.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

namespace quorbel {
namespace {

struct Pixel {
  int alpha, red, green, blue;
};

Pixel pixelAt(const IconPixmap &icon, int x, int y) {
  const std::size_t at = (std::size_t(y) * std::size_t(icon.size) + std::size_t(x)) * 4;
  return {icon.argb.at(at), icon.argb.at(at + 1), icon.argb.at(at + 2), icon.argb.at(at + 3)};
}

// The ring's pixel at `degrees` clockwise from the top, in the middle of its stroke.
Pixel ringPixel(const IconPixmap &icon, double degrees) {
  const RingGeometry ring = ringGeometry(icon.size);
  const double angle = degrees * std::numbers::pi / 180;
  return pixelAt(icon, int(std::floor(ring.centre + ring.radius * std::sin(angle))),
                 int(std::floor(ring.centre - ring.radius * std::cos(angle))));
}

bool near(int a, int b) { return std::abs(a - b) <= 3; }

// Straight, not premultiplied, colour: a faint track still reads as the tone's colour.
bool hasColour(Pixel pixel, Rgb colour) {
  return near(pixel.red, colour.red) && near(pixel.green, colour.green) &&
         near(pixel.blue, colour.blue);
}

// The gauge at every size: the level's colour, opaque, up to the percent clockwise from the top,
// the faint track beyond, grey without trusted data; bytes in A, R, G, B order.
TEST(UsageIconTest, FillsTheRingToThePercentInTheLevelColour) {
  struct Case {
    IconLook look;
    double filledTo; // degrees
  };
  const Case cases[] = {
      {{41, IconTone::ok, IconMark::none}, 41 * 3.6},
      {{85, IconTone::warning, IconMark::none}, 85 * 3.6},
      {{96, IconTone::critical, IconMark::none}, 96 * 3.6},
      {{12, IconTone::grey, IconMark::none}, 12 * 3.6},
      {{0, IconTone::ok, IconMark::none}, 0},
      {{100, IconTone::critical, IconMark::none}, 360},
      {{std::nullopt, IconTone::grey, IconMark::none}, 0},
  };
  for (const Case &c : cases) {
    for (const int size : kIconSizes) {
      SCOPED_TRACE("percent " + std::to_string(c.look.percent.value_or(-1)) + ", size " +
                   std::to_string(size));
      const IconPixmap icon = drawUsageIcon(c.look, size);
      ASSERT_EQ(icon.size, size);
      ASSERT_EQ(icon.argb.size(), std::size_t(size * size * 4));
      EXPECT_EQ(pixelAt(icon, 0, 0).alpha, 0); // a round icon leaves the corners clear
      const Rgb colour = toneColour(c.look.tone);
      // Samples away from the fill's two ends, where antialiasing blends.
      for (double degrees = 20; degrees < 350; degrees += 15) {
        if (std::abs(degrees - c.filledTo) < 25) {
          continue;
        }
        const Pixel pixel = ringPixel(icon, degrees);
        EXPECT_TRUE(hasColour(pixel, colour))
            << degrees << "°: " << pixel.red << "," << pixel.green << "," << pixel.blue;
        if (degrees < c.filledTo) {
          EXPECT_EQ(pixel.alpha, 255) << degrees << "°";
        } else {
          EXPECT_LT(pixel.alpha, 128) << degrees << "°";
          EXPECT_GT(pixel.alpha, 40) << degrees << "°";
        }
      }
    }
  }
  EXPECT_NE(toneColour(IconTone::ok), toneColour(IconTone::warning));
  EXPECT_NE(toneColour(IconTone::warning), toneColour(IconTone::critical));
  EXPECT_NE(toneColour(IconTone::critical), toneColour(IconTone::grey));
}

// Digits from 22 px up, and only the figure shown; a badge for each mark in the lower right.
TEST(UsageIconTest, ShowsDigitsWhereTheyFitAndAMarkForEachState) {
  const auto differs = [](const IconLook &a, const IconLook &b, int size) {
    return drawUsageIcon(a, size).argb != drawUsageIcon(b, size).argb;
  };
  const IconLook fortyOne{41, IconTone::ok, IconMark::none};
  for (const int size : kIconSizes) {
    SCOPED_TRACE(size);
    const IconPixmap icon = drawUsageIcon(fortyOne, size);
    const auto white = [size](const IconPixmap &drawn) {
      int count = 0;
      for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
          const Pixel p = pixelAt(drawn, x, y);
          count += p.alpha == 255 && p.red == 255 && p.green == 255 && p.blue == 255 ? 1 : 0;
        }
      }
      return count;
    };
    EXPECT_EQ(white(icon) > 0, size >= kSmallestIconWithDigits);
    // Seven segments twice light more pixels than two segments twice.
    const int eights = white(drawUsageIcon({88, IconTone::ok, IconMark::none}, size));
    const int ones = white(drawUsageIcon({11, IconTone::ok, IconMark::none}, size));
    EXPECT_EQ(eights > 2 * ones, size >= kSmallestIconWithDigits) << eights << " " << ones;
    EXPECT_GT(white(drawUsageIcon({100, IconTone::ok, IconMark::none}, size)),
              size >= kSmallestIconWithDigits ? ones : -1);
    for (const IconMark mark : {IconMark::rateLimited, IconMark::signedOut}) {
      const IconLook marked{41, IconTone::ok, mark};
      EXPECT_TRUE(differs(marked, fortyOne, size));
      // Inside the badge, below its sign.
      const double radius = size * 0.22;
      const Pixel badge = pixelAt(drawUsageIcon(marked, size), int(size - radius),
                                  int(size - radius + 0.6 * radius));
      EXPECT_EQ(badge.alpha, 255);
      EXPECT_FALSE(hasColour(badge, toneColour(IconTone::ok)));
    }
    EXPECT_TRUE(differs({41, IconTone::ok, IconMark::rateLimited},
                        {41, IconTone::ok, IconMark::signedOut}, size));
  }
}

} // namespace
} // namespace quorbel
