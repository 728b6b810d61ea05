#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace quorbel::testing {

// Sets (or, with nullptr, unsets) one environment variable for the life of the object.
class ScopedEnvironment {
public:
  ScopedEnvironment(const char *name, const char *value) : name_(name) {
    if (const char *old = std::getenv(name)) {
      old_ = old;
    }
    assign(name, value);
  }
  ~ScopedEnvironment() { assign(name_, old_ ? old_->c_str() : nullptr); }
  ScopedEnvironment(const ScopedEnvironment &) = delete;
  ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;

private:
  static void assign(const char *name, const char *value) {
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }

  const char *name_;
  std::optional<std::string> old_;
};

// Local clock times read as UTC ones for the life of the object. The C library reads TZ again
// only in tzset().
class ScopedUtc {
public:
  ScopedUtc() { ::tzset(); }
  ~ScopedUtc() { ::tzset(); }
  ScopedUtc(const ScopedUtc &) = delete;
  ScopedUtc &operator=(const ScopedUtc &) = delete;

private:
  struct Tzset {
    ~Tzset() { ::tzset(); }
  } afterRestoring_;
  ScopedEnvironment utc_{"TZ", "UTC"};
};

} // namespace quorbel::testing
