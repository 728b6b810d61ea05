#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace quorbel {

// The file beside a snapshot that names the Claude Code folder its helper reads, so a reader
// started inside Claude Code can tell which account is its own whatever folder the helper was
// given.
inline constexpr std::string_view kConfigFolderRecordName = "claude-config-dir";

std::filesystem::path configFolderRecordFile(const std::filesystem::path &snapshotFile);

// Writes `folder`, made absolute, beside `snapshotFile`. Throws FileWriteError.
void recordConfigFolder(const std::filesystem::path &snapshotFile,
                        const std::filesystem::path &folder);

// The folder recorded beside `snapshotFile`; nothing when there is no readable record.
std::optional<std::filesystem::path>
recordedConfigFolder(const std::filesystem::path &snapshotFile);

// Whether two folder names mean one folder: the same after normalising, or the same folder on disk.
bool sameFolder(const std::filesystem::path &a, const std::filesystem::path &b);

} // namespace quorbel
