#pragma once

#include "platform/unique_fd.hpp"

#include <filesystem>
#include <string_view>

namespace quorbel {

// Replaces one file as a whole: bytes go to a uniquely named temporary file beside the target,
// which is fsynced and renamed over it on commit(). Without a commit the temporary file is removed.
// Errors throw SnapshotStoreError naming the target and the cause.
class AtomicFile {
public:
  explicit AtomicFile(std::filesystem::path target);
  ~AtomicFile();
  AtomicFile(const AtomicFile &) = delete;
  AtomicFile &operator=(const AtomicFile &) = delete;

  void write(std::string_view bytes);
  void commit();

  // Temporary names are this prefix, the writer's process id, "-" and a random suffix, so that
  // leftovers can be recognised and told apart from a live writer's file.
  static std::string temporaryPrefix(const std::filesystem::path &target);

  // Removes temporary files beside `target` left by writers that no longer run (killed between
  // creating and renaming). Best effort: errors are ignored.
  static void removeStaleTemporaries(const std::filesystem::path &target) noexcept;

private:
  [[noreturn]] void fail(const char *step, int error);
  void discard() noexcept;

  std::filesystem::path target_;
  std::filesystem::path temporary_;
  UniqueFd fd_;
  bool committed_ = false;
};

} // namespace quorbel
