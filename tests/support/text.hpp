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

// Columns as a terminal counts them for our texts: one per UTF-8 character.
inline std::size_t columnsOf(const std::string &text) {
  std::size_t count = 0;
  for (const char c : text) {
    count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  }
  return count;
}

} // namespace quorbel::testing
