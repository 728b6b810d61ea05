// `claude --version` prints whatever the installed CLI prints.
#include "source/claude_code_version.hpp"

#include <cstdlib>

using namespace quorbel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const auto version = ClaudeCodeVersion::parseVersion(text);
  if (!version) {
    return 0;
  }
  // The result goes into a header: it must be a dotted triple found in the input.
  int dots = 0;
  for (const char c : *version) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      std::abort();
    }
  }
  if (dots != 2 || text.find(*version) == std::string_view::npos) {
    std::abort();
  }
  return 0;
}
