#include "view/snapshot_reading.hpp"

#include "store/snapshot_store.hpp"

#include <cerrno>
#include <sys/stat.h>

namespace quorbel {

SnapshotReading SnapshotReading::of(const std::filesystem::path &file) {
  SnapshotReading reading;
  reading.snapshot = SnapshotStore(file).load();
  if (reading.snapshot) {
    return reading;
  }
  struct stat info {};
  reading.missing = ::stat(file.c_str(), &info) != 0 && errno == ENOENT;
  reading.problem = reading.missing
                        ? "no snapshot at " + file.string() + " yet; is QuorbelHelper running?"
                        : "cannot read a snapshot from " + file.string();
  return reading;
}

} // namespace quorbel
