#pragma once

#include <cstdlib>
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

} // namespace quorbel::testing
