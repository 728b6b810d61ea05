#include "model/display_text.hpp"

namespace quorbel {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";
constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7F;
constexpr unsigned char kContinuationLow = 0x80;
constexpr unsigned char kContinuationHigh = 0xBF;
// U+0080..U+009F, the C1 controls, are C2 80..C2 9F in UTF-8.
constexpr unsigned char kC1Lead = 0xC2;
constexpr unsigned char kLastC1Continuation = 0x9F;

// The length of a well-formed sequence that starts with `lead`, and the range its second byte
// must fall in: narrower after E0, ED, F0 and F4, which rules out overlong forms, surrogates and
// code points past U+10FFFF. Length 0: the byte starts no sequence.
struct Lead {
  std::size_t length;
  unsigned char low;
  unsigned char high;
};

constexpr Lead leadOf(unsigned char byte) {
  if (byte >= 0xC2 && byte <= 0xDF) {
    return {2, kContinuationLow, kContinuationHigh};
  }
  if (byte == 0xE0) {
    return {3, 0xA0, kContinuationHigh};
  }
  if (byte == 0xED) {
    return {3, kContinuationLow, 0x9F};
  }
  if (byte >= 0xE1 && byte <= 0xEF) {
    return {3, kContinuationLow, kContinuationHigh};
  }
  if (byte == 0xF0) {
    return {4, 0x90, kContinuationHigh};
  }
  if (byte >= 0xF1 && byte <= 0xF3) {
    return {4, kContinuationLow, kContinuationHigh};
  }
  if (byte == 0xF4) {
    return {4, kContinuationLow, 0x8F};
  }
  return {0, 0, 0};
}

} // namespace

std::string displayText(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < kContinuationLow) {
      if (byte >= kFirstPrintable && byte != kDelete) {
        shown += char(byte);
      }
      ++at;
      continue;
    }
    const Lead lead = leadOf(byte);
    std::size_t length = 1;
    while (length < lead.length && at + length < text.size()) {
      const auto next = static_cast<unsigned char>(text[at + length]);
      const bool fits = length == 1 ? next >= lead.low && next <= lead.high
                                    : next >= kContinuationLow && next <= kContinuationHigh;
      if (!fits) {
        break;
      }
      ++length;
    }
    if (length != lead.length) {
      shown += kReplacementCharacter;
    } else if (byte != kC1Lead || static_cast<unsigned char>(text[at + 1]) > kLastC1Continuation) {
      shown += text.substr(at, length);
    }
    at += length;
  }
  return shown;
}

std::string markupText(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
    case '&':
      escaped += "&amp;";
      break;
    case '<':
      escaped += "&lt;";
      break;
    case '>':
      escaped += "&gt;";
      break;
    case '"':
      escaped += "&quot;";
      break;
    case '\'':
      escaped += "&apos;";
      break;
    default:
      escaped += c;
    }
  }
  return escaped;
}

namespace {

constexpr std::string_view kEllipsis = "\u2026";

// Decodes the code point at `at` of well-formed UTF-8 and moves past it.
char32_t nextCodePoint(std::string_view text, std::size_t &at) {
  const auto byte = static_cast<unsigned char>(text[at++]);
  if (byte < kContinuationLow) {
    return byte;
  }
  const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
  char32_t point = byte & (0x7F >> length);
  for (std::size_t i = 1; i < length && at < text.size(); ++i) {
    point = (point << 6) | (static_cast<unsigned char>(text[at++]) & 0x3F);
  }
  return point;
}

// The wide ranges of Unicode's East Asian Width (W and F) and the emoji planes, coarsely: a code
// point counted wide that a terminal draws narrow only leaves a column free.
bool isWide(char32_t point) {
  return (point >= 0x1100 && point <= 0x115F) || (point >= 0x2E80 && point <= 0xA4CF) ||
         (point >= 0xAC00 && point <= 0xD7A3) || (point >= 0xF900 && point <= 0xFAFF) ||
         (point >= 0xFE30 && point <= 0xFE4F) || (point >= 0xFF00 && point <= 0xFF60) ||
         (point >= 0xFFE0 && point <= 0xFFE6) || (point >= 0x1F000 && point <= 0x1FAFF) ||
         (point >= 0x20000 && point <= 0x3FFFD);
}

} // namespace

std::size_t displayColumns(std::string_view text) {
  std::size_t columns = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    columns += isWide(nextCodePoint(text, at)) ? 2 : 1;
  }
  return columns;
}

std::string fitColumns(std::string_view text, std::size_t columns) {
  if (displayColumns(text) <= columns) {
    return std::string(text);
  }
  if (columns == 0) {
    return "";
  }
  std::size_t used = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t next = at;
    const std::size_t width = isWide(nextCodePoint(text, next)) ? 2 : 1;
    if (used + width > columns - 1) {
      break;
    }
    used += width;
    at = next;
  }
  return std::string(text.substr(0, at)) + std::string(kEllipsis);
}

} // namespace quorbel
