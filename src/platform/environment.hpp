#pragma once

#include <optional>
#include <string>

namespace quorbel {

// The value of environment variable `name`, copied so a later setenv() cannot change it under
// the caller; nothing when it is not set. An empty value is a value.
std::optional<std::string> environmentValue(const char *name);

} // namespace quorbel
