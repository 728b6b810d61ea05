#include "view/clock_text.hpp"

#include <ctime>

namespace quorbel {

std::string localClock(Instant instant, Instant now) {
  const std::time_t when = toTimeT(instant);
  const std::time_t today = toTimeT(now);
  std::tm whenLocal{};
  std::tm nowLocal{};
  localtime_r(&when, &whenLocal);
  localtime_r(&today, &nowLocal);
  const bool sameDay =
      whenLocal.tm_yday == nowLocal.tm_yday && whenLocal.tm_year == nowLocal.tm_year;
  char buffer[32];
  std::strftime(buffer, sizeof buffer, sameDay ? "%H:%M" : "%a %H:%M", &whenLocal);
  return buffer;
}

} // namespace quorbel
