#include "icon/usage_icon.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>

namespace quorbel {
namespace {

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using Context = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

// The track shows where the gauge would go, faint enough not to read as use.
constexpr double kTrackAlpha = 0.32;
// A dark face keeps white digits readable on light and dark panels alike.
constexpr Rgb kFaceColour{0x1f, 0x23, 0x28};
constexpr double kFaceAlpha = 0.88;
constexpr Rgb kDigitColour{0xff, 0xff, 0xff};
constexpr Rgb kRateLimitedBadge{0x09, 0x69, 0xda};
constexpr Rgb kSignedOutBadge{0xcf, 0x22, 0x2e};

void setColour(cairo_t *cairo, Rgb colour, double alpha = 1.0) {
  cairo_set_source_rgba(cairo, colour.red / 255.0, colour.green / 255.0, colour.blue / 255.0,
                        alpha);
}

// Digits as seven segments of whole pixels: crisp at 22 px, and no font needs to be installed.
// Bits a to g: top, upper right, lower right, bottom, lower left, upper left, middle.
constexpr std::array<std::uint8_t, 10> kSegments{0x3f, 0x06, 0x5b, 0x4f, 0x66,
                                                 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

void drawDigit(cairo_t *cairo, int digit, int x, int y, int width, int height, int thickness) {
  const int middle = y + (height - thickness) / 2;
  const int upper = middle - y + thickness;
  const int lower = y + height - middle;
  const int right = x + width - thickness;
  const struct {
    int x, y, width, height;
  } segments[] = {
      {x, y, width, thickness},          {right, y, thickness, upper},
      {right, middle, thickness, lower}, {x, y + height - thickness, width, thickness},
      {x, middle, thickness, lower},     {x, y, thickness, upper},
      {x, middle, width, thickness},
  };
  for (int segment = 0; segment < 7; ++segment) {
    if ((kSegments[std::size_t(digit)] >> segment & 1) != 0) {
      const auto &box = segments[segment];
      cairo_rectangle(cairo, box.x, box.y, box.width, box.height);
    }
  }
  cairo_fill(cairo);
}

void drawDigits(cairo_t *cairo, std::int64_t percent, double faceDiameter, double centre) {
  const std::string digits = std::to_string(percent);
  const int count = int(digits.size());
  int height = int(faceDiameter * 0.5);
  int width = 0;
  int thickness = 0;
  int gap = 0;
  int total = 0;
  // Three digits ("100") shrink until they fit across the face.
  for (; height > 4; --height) {
    width = int(std::lround(height * 0.55));
    thickness = std::max(1, int(std::lround(height / 6.0)));
    gap = thickness;
    total = count * width + (count - 1) * gap;
    if (total <= faceDiameter * 0.8) {
      break;
    }
  }
  int x = int(std::lround(centre - total / 2.0));
  const int y = int(std::lround(centre - height / 2.0));
  setColour(cairo, kDigitColour);
  for (const char digit : digits) {
    drawDigit(cairo, digit - '0', x, y, width, height, thickness);
    x += width + gap;
  }
}

void drawMark(cairo_t *cairo, IconMark mark, int size) {
  const double radius = size * 0.22;
  const double centre = size - radius;
  const double stroke = std::max(1.0, size / 12.0);
  setColour(cairo, mark == IconMark::rateLimited ? kRateLimitedBadge : kSignedOutBadge);
  cairo_arc(cairo, centre, centre, radius, 0, 2 * std::numbers::pi);
  cairo_fill(cairo);
  setColour(cairo, kDigitColour);
  cairo_set_line_width(cairo, stroke);
  const double arm = radius * 0.45;
  if (mark == IconMark::rateLimited) {
    // A pause: the helper waits before it asks again.
    for (const double x : {centre - arm * 0.5, centre + arm * 0.5}) {
      cairo_move_to(cairo, x, centre - arm);
      cairo_line_to(cairo, x, centre + arm);
    }
  } else {
    cairo_move_to(cairo, centre - arm, centre - arm);
    cairo_line_to(cairo, centre + arm, centre + arm);
    cairo_move_to(cairo, centre + arm, centre - arm);
    cairo_line_to(cairo, centre - arm, centre + arm);
  }
  cairo_stroke(cairo);
}

// Cairo keeps premultiplied alpha in native-endian words; the protocol wants straight alpha, bytes
// in A, R, G, B order.
std::vector<std::uint8_t> straightArgb(cairo_surface_t *surface, int size) {
  cairo_surface_flush(surface);
  const unsigned char *data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  std::vector<std::uint8_t> bytes;
  bytes.reserve(std::size_t(size) * std::size_t(size) * 4);
  for (int row = 0; row < size; ++row) {
    const auto *pixels = reinterpret_cast<const std::uint32_t *>(data + row * stride);
    for (int column = 0; column < size; ++column) {
      const std::uint32_t pixel = pixels[column];
      const std::uint32_t alpha = pixel >> 24;
      const auto straight = [alpha](std::uint32_t premultiplied) {
        return alpha == 0 ? std::uint8_t(0)
                          : std::uint8_t(std::min<std::uint32_t>(
                                255, (premultiplied * 255 + alpha / 2) / alpha));
      };
      bytes.push_back(std::uint8_t(alpha));
      bytes.push_back(straight(pixel >> 16 & 0xff));
      bytes.push_back(straight(pixel >> 8 & 0xff));
      bytes.push_back(straight(pixel & 0xff));
    }
  }
  return bytes;
}

} // namespace

Rgb toneColour(IconTone tone) {
  switch (tone) {
  case IconTone::ok:
    return {0x2d, 0xa4, 0x4e};
  case IconTone::warning:
    return {0xd4, 0x8a, 0x06};
  case IconTone::critical:
    return {0xe5, 0x34, 0x34};
  case IconTone::grey:
    break;
  }
  return {0x8c, 0x95, 0x9f};
}

RingGeometry ringGeometry(int size) {
  const double width = std::max(2.0, size * 0.16);
  return {size / 2.0, size / 2.0 - width / 2.0, width};
}

IconPixmap drawUsageIcon(const IconLook &look, int size) {
  const Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size),
                        cairo_surface_destroy);
  const Context context(cairo_create(surface.get()), cairo_destroy);
  cairo_t *cairo = context.get();
  const RingGeometry ring = ringGeometry(size);
  const Rgb colour = toneColour(look.tone);
  constexpr double kTop = -std::numbers::pi / 2;

  setColour(cairo, kFaceColour, kFaceAlpha);
  cairo_arc(cairo, ring.centre, ring.centre, ring.radius - ring.width / 2, 0, 2 * std::numbers::pi);
  cairo_fill(cairo);

  cairo_set_line_width(cairo, ring.width);
  setColour(cairo, colour, kTrackAlpha);
  cairo_arc(cairo, ring.centre, ring.centre, ring.radius, 0, 2 * std::numbers::pi);
  cairo_stroke(cairo);
  const double fraction = std::clamp<std::int64_t>(look.percent.value_or(0), 0, 100) / 100.0;
  if (fraction > 0) {
    // Drawn over the track with the operator that replaces, so the filled part is the level's
    // colour exactly rather than a blend with the faint track below.
    cairo_set_operator(cairo, CAIRO_OPERATOR_SOURCE);
    setColour(cairo, colour);
    cairo_arc(cairo, ring.centre, ring.centre, ring.radius, kTop,
              kTop + fraction * 2 * std::numbers::pi);
    cairo_stroke(cairo);
    cairo_set_operator(cairo, CAIRO_OPERATOR_OVER);
  }
  if (look.percent && size >= kSmallestIconWithDigits) {
    drawDigits(cairo, std::clamp<std::int64_t>(*look.percent, 0, 100),
               2 * (ring.radius - ring.width / 2), ring.centre);
  }
  if (look.mark != IconMark::none) {
    drawMark(cairo, look.mark, size);
  }
  return {size, straightArgb(surface.get(), size)};
}

bool UsageIconSet::update(const IconLook &look) {
  if (look_ == look) {
    return false;
  }
  look_ = look;
  pixmaps_.clear();
  for (const int size : kIconSizes) {
    pixmaps_.push_back(drawUsageIcon(look, size));
  }
  return true;
}

} // namespace quorbel
