#pragma once

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

  // Temporary names start with this, so leftovers can be recognised.
  static std::string temporaryPrefix(const std::filesystem::path &target);

private:
  [[noreturn]] void fail(const char *step, int error);
  void discard() noexcept;

  std::filesystem::path target_;
  std::filesystem::path temporary_;
  int fd_ = -1;
  bool committed_ = false;
};

} // namespace quorbel
