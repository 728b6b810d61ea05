#include "store/snapshot_store.hpp"

#include "model/snapshot_json.hpp"
#include "platform/atomic_file.hpp"
#include "platform/small_file.hpp"
#include "store/snapshot_location.hpp"

namespace quorbel {

SnapshotStore::SnapshotStore(std::filesystem::path fileURL) : fileURL_(std::move(fileURL)) {}

std::optional<std::filesystem::path> SnapshotStore::defaultFileURL() {
  return resolveSnapshotLocation(LocationEnvironment::current());
}

void SnapshotStore::save(const PlanSnapshot &snapshot) {
  replaceFile(fileURL_, encodeSnapshot(snapshot, JsonLayout::pretty));
}

void SnapshotStore::removeStaleTemporaries() const noexcept {
  AtomicFile::removeStaleTemporaries(fileURL_);
}

std::optional<PlanSnapshot> SnapshotStore::load() const {
  const SmallFile file = readSmallFile(fileURL_, kMaxFileSize);
  if (!file.found()) {
    return std::nullopt;
  }
  try {
    return decodeSnapshot(file.content);
  } catch (const std::exception &) {
    return std::nullopt;
  }
}

} // namespace quorbel
