#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace quorbel::testing {

// Local time is UTC while this lives, so texts with local clock times can be compared exactly.
class UtcTimeZone {
public:
  UtcTimeZone() {
    if (const char *tz = std::getenv("TZ")) {
      saved_ = tz;
    }
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  ~UtcTimeZone() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  UtcTimeZone(const UtcTimeZone &) = delete;
  UtcTimeZone &operator=(const UtcTimeZone &) = delete;

private:
  std::optional<std::string> saved_;
};

} // namespace quorbel::testing
