#include "app/status_arguments.hpp"

#include "model/enum_names.hpp"
#include "view/usage_view.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>

namespace quorbel {
namespace {

constexpr EnumNames kColorChoiceNames{std::array<std::pair<ColorChoice, std::string_view>, 3>{{
    {ColorChoice::automatic, "auto"},
    {ColorChoice::always, "always"},
    {ColorChoice::never, "never"},
}}};

} // namespace

std::optional<ColorChoice> colorChoiceNamed(std::string_view name) {
  return kColorChoiceNames.named(name);
}

bool colorWanted(ColorChoice choice, const std::optional<std::string> &noColor,
                 const std::optional<std::string> &term) {
  switch (choice) {
  case ColorChoice::always:
    return true;
  case ColorChoice::never:
    return false;
  case ColorChoice::automatic:
    break;
  }
  return !(noColor && !noColor->empty()) && term != "dumb";
}

bool parsePercent(const char *text, std::int64_t &value) {
  char *end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < 0 || parsed > 100) {
    return false;
  }
  value = parsed;
  return true;
}

DurationParse parseDuration(const char *text, std::chrono::seconds &value) {
  char *end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text, &end, 10);
  if (errno == ERANGE && end != text && *text != '-') {
    return DurationParse::tooLong;
  }
  if (errno != 0 || end == text || parsed < 0) {
    return DurationParse::malformed;
  }
  const std::string unit(end);
  long long factor = 0;
  if (unit.empty() || unit == "s") {
    factor = 1;
  } else if (unit == "m") {
    factor = 60;
  } else if (unit == "h") {
    factor = 3600;
  } else if (unit == "d") {
    factor = 86400;
  } else {
    return DurationParse::malformed;
  }
  if (parsed > kLongestDurationOption.count() / factor) {
    return DurationParse::tooLong;
  }
  value = std::chrono::seconds(parsed * factor);
  return DurationParse::ok;
}

} // namespace quorbel
