#pragma once

#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace quorbel::testing {

// The lines of a program's output, without their newlines.
inline std::vector<std::string> linesOf(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

// What the json format says but its counters, which tick every second by design.
inline std::string withoutCounters(const std::string &text) {
  static const std::regex counters(
      R"re("(ageSeconds|secondsToReset)":\d+|"pace":(null|\{[^}]*\}))re");
  return std::regex_replace(text, counters, "");
}

} // namespace quorbel::testing
