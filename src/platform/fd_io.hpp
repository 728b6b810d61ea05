#pragma once

#include "platform/unique_fd.hpp"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace quorbel {

// Writes all of `bytes`, retrying after signals and short writes. Returns 0 once everything is
// written, else the errno of the write that failed (EIO for a write that wrote nothing).
int writeAll(int fd, std::string_view bytes);

// Opens `path` for reading without blocking, so a FIFO or a device planted at the path cannot
// stall the reader. Invalid with errno set when the open fails.
UniqueFd openForReading(const std::filesystem::path &path);

// What readBounded() found: the whole content, or why there is none.
struct BoundedRead {
  std::string content;
  int error = 0;         // the errno of a failed read
  bool tooLarge = false; // more than the limit was there
  bool timedOut = false; // the writer had not finished within the time given
};

// Reads `fd` to its end. More than `limit` bytes is tooLarge, and reading stops there: the file
// may have grown since anyone looked at its size.
BoundedRead readBounded(int fd, std::size_t limit);

// readBounded() that also gives up `within` after it starts, on a pipe whose writer neither writes
// nor closes; what arrived until then is kept. A descriptor that blocks is read only when poll()
// says it has data, so a wait never passes the bound.
BoundedRead readBoundedWithin(int fd, std::size_t limit, std::chrono::milliseconds within);

} // namespace quorbel
