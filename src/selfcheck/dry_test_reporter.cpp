#include "selfcheck/dry_test_reporter.hpp"

namespace quorbel {

void DryTestReporter::check(bool ok, std::string_view label) {
  std::string text(ok ? "  \u2705 " : "  \u274C ");
  text += label;
  line(text);
  if (!ok) {
    failures_.emplace_back(label);
  }
}

void DryTestReporter::title(std::string_view text) {
  line("");
  line(text);
}

void DryTestReporter::line(std::string_view text) {
  std::string whole(text);
  whole += '\n';
  out_.writeLine(whole);
}

} // namespace quorbel
