#include "platform/environment.hpp"

#include <cstdlib>

namespace quorbel {

std::optional<std::string> environmentValue(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

} // namespace quorbel
