#include "store/snapshot_store.hpp"

#include "model/snapshot_json.hpp"
#include "platform/fd_io.hpp"
#include "store/atomic_file.hpp"
#include "store/snapshot_location.hpp"

#include <sys/stat.h>
#include <system_error>

namespace quorbel {
namespace {

// Reads a regular file of at most `limit` bytes; anything else is nothing.
std::optional<std::string> readSmallRegularFile(const std::filesystem::path &path,
                                                std::uintmax_t limit) {
  const UniqueFd file = openForReading(path);
  struct stat info {};
  if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      std::uintmax_t(info.st_size) > limit) {
    return std::nullopt;
  }
  BoundedRead read = readBounded(file.get(), limit);
  if (!read.complete()) {
    return std::nullopt;
  }
  return std::move(read.content);
}

} // namespace

SnapshotStore::SnapshotStore(std::filesystem::path fileURL) : fileURL_(std::move(fileURL)) {}

std::optional<std::filesystem::path> SnapshotStore::defaultFileURL() {
  return resolveSnapshotLocation(LocationEnvironment::current());
}

void SnapshotStore::save(const PlanSnapshot &snapshot) {
  const std::string bytes = encodeSnapshot(snapshot, JsonLayout::pretty);
  const auto directory = fileURL_.parent_path();
  if (!directory.empty()) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
      throw SnapshotStoreError("cannot create directory " + directory.string() + " for " +
                               fileURL_.string() + ": " + error.message());
    }
  }
  AtomicFile file(fileURL_);
  file.write(bytes);
  file.commit();
}

void SnapshotStore::removeStaleTemporaries() const noexcept {
  AtomicFile::removeStaleTemporaries(fileURL_);
}

std::optional<PlanSnapshot> SnapshotStore::load() const {
  const auto bytes = readSmallRegularFile(fileURL_, kMaxFileSize);
  if (!bytes) {
    return std::nullopt;
  }
  try {
    return decodeSnapshot(*bytes);
  } catch (const std::exception &) {
    return std::nullopt;
  }
}

} // namespace quorbel
