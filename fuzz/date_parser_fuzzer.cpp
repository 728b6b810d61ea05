// Reset times come from the network and fetchedAt from a file; both pass through this parser.
#include "model/plan_date.hpp"

#include <cstdlib>

using namespace quorbel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const auto instant = PlanDateParser::dateFrom(text);
  if (!instant) {
    return 0;
  }
  // Any date we accept, we can write, and read back to the same whole second.
  const std::string written = formatInternetDate(*instant);
  const auto reread = PlanDateParser::dateFrom(written);
  if (!reread || *reread != std::chrono::floor<std::chrono::seconds>(*instant)) {
    std::abort();
  }
  (void)formatLogDate(*instant);
  return 0;
}
