#pragma once

#include "model/plan_snapshot.hpp"

#include <stdexcept>
#include <string>
#include <string_view>

namespace quorbel {

// Raised when a text is not a snapshot; the message says which rule it broke.
class SnapshotFormatError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

enum class JsonLayout {
  pretty,  // the file form: two-space indent, " : ", keys sorted, no trailing newline
  compact, // one line, no spaces
};

std::string encodeSnapshot(const PlanSnapshot &snapshot, JsonLayout layout = JsonLayout::pretty);

// Accepts or rejects the whole text; throws SnapshotFormatError on rejection.
PlanSnapshot decodeSnapshot(std::string_view text);

} // namespace quorbel
