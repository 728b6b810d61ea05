#include "model/display_text.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

// U+FFFD, as \xef\xbf\xbd below too, `count` times.
std::string replaced(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "\xef\xbf\xbd";
  }
  return text;
}

TEST(DisplayText, DropsEveryControlAndReplacesWhatIsNotUtf8) {
  using namespace std::string_literals;
  const struct {
    const char *name;
    std::string text;
    std::string shown;
  } cases[] = {
      {"plain", "Opus 4.1 & <b>", "Opus 4.1 & <b>"},
      {"CSI, OSC and BEL", "\x1b[2J\x1b]0;owned\aOp\x1b[31mus", "[2J]0;ownedOp[31mus"},
      {"tab, line feed, return, NUL", "max\t\r\npro\0!"s, "maxpro!"},
      {"DEL", "x\x7fy", "xy"},
      {"C1 CSI, NEL and the first and last C1", "a\xc2\x9b[2J\xc2\x85\xc2\x80\xc2\x9f!", "a[2J!"},
      {"no-break space and y-diaeresis, just past C1", "\xc2\xa0\xc3\xbf", "\xc2\xa0\xc3\xbf"},
      {"two-, three- and four-byte text", "Gr\xc3\xb6\xc3\x9fte \xe6\x97\xa5 \xf0\x9f\x99\x82",
       "Gr\xc3\xb6\xc3\x9fte \xe6\x97\xa5 \xf0\x9f\x99\x82"},
      {"U+10FFFF, the last code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
      {"a lone 8-bit CSI", "a\x9b[2J", "a\xef\xbf\xbd[2J"},
      {"lone continuation and bytes that start nothing", "\x80\xbf\xc0\xc1\xf5\xff", replaced(6)},
      {"overlong ESC, two and three bytes", "\xc0\x9b\xe0\x80\x9b", replaced(5)},
      {"a surrogate", "\xed\xa0\x80", replaced(3)},
      {"past U+10FFFF", "\xf4\x90\x80\x80", replaced(4)},
      {"cut short at the end: one replacement", "x\xf0\x9f\x99", "x\xef\xbf\xbd"},
      {"cut short by ASCII or a control", "\xe6\x97-\xe6!\xc3\x1b[m",
       "\xef\xbf\xbd-\xef\xbf\xbd!\xef\xbf\xbd[m"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(displayText(c.text), c.shown);
  }
}

} // namespace
} // namespace quorbel
