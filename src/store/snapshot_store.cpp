#include "store/snapshot_store.hpp"

#include "model/snapshot_json.hpp"
#include "store/atomic_file.hpp"
#include "store/snapshot_location.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace quorbel {
namespace {

// Reads a regular file of at most `limit` bytes; anything else is nothing.
std::optional<std::string> readSmallRegularFile(const std::filesystem::path &path,
                                                std::uintmax_t limit) {
  // O_NONBLOCK keeps a FIFO planted at the path from blocking the helper forever.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return std::nullopt;
  }
  std::optional<std::string> content;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && std::uintmax_t(info.st_size) <= limit) {
    std::string bytes;
    char buffer[16384];
    bool ok = true;
    for (;;) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        ok = false;
        break;
      }
      if (got == 0) {
        break;
      }
      bytes.append(buffer, std::size_t(got));
      // The file may grow after fstat; the limit holds for what is read, too.
      if (bytes.size() > limit) {
        ok = false;
        break;
      }
    }
    if (ok) {
      content = std::move(bytes);
    }
  }
  ::close(fd);
  return content;
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
  AtomicFile::removeStaleTemporaries(fileURL_);
  AtomicFile file(fileURL_);
  file.write(bytes);
  file.commit();
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
