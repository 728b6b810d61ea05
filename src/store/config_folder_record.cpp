#include "store/config_folder_record.hpp"

#include "platform/atomic_file.hpp"
#include "platform/small_file.hpp"

#include <string>

namespace quorbel {
namespace {

namespace fs = std::filesystem;

// A path is at most PATH_MAX; anything longer is no record of ours.
constexpr std::size_t kMaxRecordBytes = 4096 + 1;

fs::path normalised(const fs::path &folder) {
  fs::path path = folder.lexically_normal();
  // "a/b/" normalises to "a/b/", which would not compare equal to "a/b".
  if (path.has_parent_path() && !path.has_filename()) {
    path = path.parent_path();
  }
  return path;
}

} // namespace

fs::path configFolderRecordFile(const fs::path &snapshotFile) {
  return snapshotFile.parent_path() / kConfigFolderRecordName;
}

void recordConfigFolder(const fs::path &snapshotFile, const fs::path &folder) {
  std::error_code ignored;
  const fs::path absolute = fs::absolute(folder, ignored);
  replaceFile(configFolderRecordFile(snapshotFile),
              normalised(absolute.empty() ? folder : absolute).string() + "\n");
}

std::optional<fs::path> recordedConfigFolder(const fs::path &snapshotFile) {
  const SmallFile file = readSmallFile(configFolderRecordFile(snapshotFile), kMaxRecordBytes);
  if (file.outcome != SmallFile::Outcome::read || !file.content.ends_with('\n') ||
      file.content.size() < 2 || file.content.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  const fs::path folder(file.content.substr(0, file.content.size() - 1));
  if (!folder.is_absolute()) {
    return std::nullopt;
  }
  return folder;
}

bool sameFolder(const fs::path &a, const fs::path &b) {
  if (normalised(a) == normalised(b)) {
    return true;
  }
  std::error_code error;
  const bool same = fs::equivalent(a, b, error);
  return !error && same;
}

} // namespace quorbel
