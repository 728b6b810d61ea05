// The snapshot file is read back at every start and by other programs at any moment.
#include "model/snapshot_json.hpp"

#include <cstdlib>

using namespace quorbel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  PlanSnapshot first;
  try {
    first = decodeSnapshot(text);
  } catch (const SnapshotFormatError &) {
    return 0;
  }
  // Whatever decodes must survive our own writer: re-encoded it decodes again, and from then on
  // the text and the value are fixed points (fractions and offsets are gone after one round).
  for (const JsonLayout layout : {JsonLayout::pretty, JsonLayout::compact}) {
    const std::string once = encodeSnapshot(first, layout);
    const PlanSnapshot second = decodeSnapshot(once);
    if (encodeSnapshot(second, layout) != once ||
        decodeSnapshot(encodeSnapshot(second)) != second) {
      std::abort();
    }
  }
  return 0;
}
