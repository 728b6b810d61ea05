#pragma once

#include "support/scoped_environment.hpp"

#include <ctime>

namespace quorbel::testing {

// Local time is UTC while this lives, so texts with local clock times can be compared exactly.
class UtcTimeZone {
  // The C library reads TZ again only when told to: once it is set, and once it is restored.
  struct Reread {
    Reread() { ::tzset(); }
    ~Reread() { ::tzset(); }
  };
  Reread afterRestore_;
  ScopedEnvironment tz_{"TZ", "UTC"};
  Reread afterSet_;
};

} // namespace quorbel::testing
