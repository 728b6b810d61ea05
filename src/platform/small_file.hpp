#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace quorbel {

// What readSmallFile() found at a path.
struct SmallFile {
  enum class Outcome {
    read,       // `content` is the whole file
    missing,    // no file, or a missing directory on the way
    notRegular, // a directory, a FIFO, a device or a socket
    tooLarge,   // more than the limit
    failed,     // open or read failed with `error`
  };

  Outcome outcome = Outcome::missing;
  std::string content;
  int error = 0; // the errno, for `failed`
  bool directory = false;

  bool found() const { return outcome == Outcome::read; }
  // Why there is no content, as a person reads it: "Permission denied", "Is a directory".
  std::string reason() const;
};

// Reads a regular file of at most `limit` bytes. The file is opened first and judged by what was
// opened, so nothing can be swapped in between a check and the read, and without blocking, so a
// FIFO planted at the path cannot stall the caller.
SmallFile readSmallFile(const std::filesystem::path &path, std::size_t limit);

} // namespace quorbel
