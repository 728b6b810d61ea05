#include "dashboard/terminal_screen.hpp"

#include <curses.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quorbel {
namespace {

enum Pair : short { okPair = 1, warningPair, criticalPair };

attr_t attributeOf(Tone tone, bool color) {
  switch (tone) {
  case Tone::plain:
    return A_NORMAL;
  case Tone::dim:
    return A_DIM;
  case Tone::bold:
    return A_BOLD;
  case Tone::ok:
    return color ? COLOR_PAIR(okPair) : A_NORMAL;
  case Tone::warning:
    return color ? COLOR_PAIR(warningPair) : A_BOLD;
  case Tone::critical:
    break;
  }
  return color ? COLOR_PAIR(criticalPair) | A_BOLD : A_BOLD | A_UNDERLINE;
}

} // namespace

TerminalScreen::TerminalScreen(bool color) : color_(color) {
  if (newterm(nullptr, stdout, stdin) == nullptr) {
    throw std::runtime_error("cannot drive this terminal (is TERM right?)");
  }
  cbreak();
  noecho();
  nodelay(stdscr, TRUE);
  keypad(stdscr, TRUE);
  curs_set(0);
  color_ = color && has_colors();
  if (color_) {
    start_color();
    use_default_colors();
    init_pair(okPair, COLOR_GREEN, -1);
    init_pair(warningPair, COLOR_YELLOW, -1);
    init_pair(criticalPair, COLOR_RED, -1);
  }
}

TerminalScreen::~TerminalScreen() { endwin(); }

std::size_t TerminalScreen::columns() const { return std::size_t(std::max(COLS, 0)); }

std::size_t TerminalScreen::rows() const { return std::size_t(std::max(LINES, 0)); }

void TerminalScreen::resize() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
    resizeterm(size.ws_row, size.ws_col);
  }
}

void TerminalScreen::draw(const std::vector<ScreenLine> &lines) {
  erase();
  for (std::size_t row = 0; row < lines.size() && int(row) < LINES; ++row) {
    move(int(row), 0);
    for (const Span &span : lines[row]) {
      const attr_t attribute = attributeOf(span.tone, color_);
      attron(attribute);
      // The last cell of the last row would move the cursor past the screen: curses refuses it,
      // which loses nothing worth an error.
      addnstr(span.text.c_str(), int(span.text.size()));
      attroff(attribute);
    }
  }
  refresh();
}

std::vector<int> TerminalScreen::keys() {
  std::vector<int> pressed;
  for (int key = getch(); key != ERR; key = getch()) {
    if (key != KEY_RESIZE) {
      pressed.push_back(key);
    }
  }
  return pressed;
}

} // namespace quorbel
