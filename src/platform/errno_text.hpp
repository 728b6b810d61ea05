#pragma once

#include <string>

namespace quorbel {

// The system's text for an errno value ("Permission denied"), safe from any thread.
std::string errnoText(int error);

// "`what`: <errno text>", the form of every message about a failed system call.
std::string failureText(std::string what, int error);

} // namespace quorbel
