#pragma once

#include "dashboard/dashboard_layout.hpp"

#include <cstddef>
#include <vector>

namespace quorbel {

// The terminal as the dashboard draws on it, through ncurses: the alternate screen while it lives,
// keys without echo, and the screen as it was before once it is destroyed, whatever ended it.
// One at a time; standard input and output must be a terminal.
class TerminalScreen {
public:
  explicit TerminalScreen(bool color);
  ~TerminalScreen();
  TerminalScreen(const TerminalScreen &) = delete;
  TerminalScreen &operator=(const TerminalScreen &) = delete;

  std::size_t columns() const;
  std::size_t rows() const;

  // Takes the terminal's new size, after SIGWINCH.
  void resize();

  // Shows `lines`; ncurses sends only what differs from the screen as it stands.
  void draw(const std::vector<ScreenLine> &lines);

  // The keys pressed since the last call, without waiting.
  std::vector<int> keys();

private:
  bool color_;
};

} // namespace quorbel
