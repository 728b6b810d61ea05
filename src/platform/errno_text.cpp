#include "platform/errno_text.hpp"

#include <cstring>

namespace quorbel {

std::string errnoText(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be in `buffer`.
  return ::strerror_r(error, buffer, sizeof buffer);
}

std::string failureText(std::string what, int error) {
  what += ": ";
  what += errnoText(error);
  return what;
}

} // namespace quorbel
