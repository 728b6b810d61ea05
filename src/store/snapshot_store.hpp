#pragma once

#include "store/snapshot_persisting.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>

namespace quorbel {

// plan-snapshot.json on disk: replaced atomically on save, read tolerantly on load.
class SnapshotStore final : public SnapshotPersisting {
public:
  // A bigger file is not a snapshot; refusing it keeps a stray huge file from costing memory.
  static constexpr std::size_t kMaxFileSize = 1 << 20;

  explicit SnapshotStore(std::filesystem::path fileURL);

  // The default location for this process (see snapshot_location.hpp); nothing without a home.
  static std::optional<std::filesystem::path> defaultFileURL();

  const std::filesystem::path &fileURL() const { return fileURL_; }

  // Temporary files left beside the file by writers killed mid-save; once, at start-up.
  void removeStaleTemporaries() const noexcept;

  void save(const PlanSnapshot &snapshot) override;
  std::optional<PlanSnapshot> load() const override;

private:
  std::filesystem::path fileURL_;
};

} // namespace quorbel
