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

} // namespace quorbel
