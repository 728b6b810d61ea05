#include "status/notifier_state.hpp"

#include "platform/home_directory.hpp"

#include "store/atomic_file.hpp"
#include "store/snapshot_store.hpp"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace quorbel {
namespace {

// The state is a few lines; anything much bigger was not written by the notifier.
constexpr std::uintmax_t kMaxStateFileSize = 64 * 1024;

} // namespace

std::string encodeNotifierState(const NotifierState &state) {
  nlohmann::json windows = nlohmann::json::object();
  for (const auto &[key, record] : state.windows) {
    windows[key] = {{"period", record.period},
                    {"notified", std::string(usageLevelName(record.notified))},
                    {"resetSent", record.resetSent}};
  }
  const nlohmann::json object = {{"signedOut", state.signedOut}, {"windows", windows}};
  return object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

NotifierState decodeNotifierState(std::string_view text) {
  const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
  if (!object.is_object() || !object.contains("signedOut") || !object["signedOut"].is_boolean() ||
      !object.contains("windows") || !object["windows"].is_object()) {
    throw NotifierStateError("not a notifier state");
  }
  NotifierState state;
  state.signedOut = object["signedOut"].get<bool>();
  for (const auto &[key, value] : object["windows"].items()) {
    if (!value.is_object() || !value.contains("period") || !value["period"].is_string() ||
        !value.contains("notified") || !value["notified"].is_string() ||
        !value.contains("resetSent") || !value["resetSent"].is_boolean()) {
      throw NotifierStateError("window '" + key + "' is not a window record");
    }
    const auto level = usageLevelNamed(value["notified"].get<std::string>());
    if (!level) {
      throw NotifierStateError("window '" + key + "' has an unknown level");
    }
    state.windows[key] =
        WindowRecord{value["period"].get<std::string>(), *level, value["resetSent"].get<bool>()};
  }
  return state;
}

std::optional<std::filesystem::path>
notifierStateLocation(const std::optional<std::string> &xdgStateHome,
                      const std::optional<std::filesystem::path> &home) {
  // A relative XDG_STATE_HOME is invalid by the XDG rules and must be ignored.
  if (isAbsolutePath(xdgStateHome)) {
    return std::filesystem::path(*xdgStateHome) / kFallbackDirectoryName / kNotifierStateFileName;
  }
  if (!home) {
    return std::nullopt;
  }
  return *home / ".local" / "state" / kFallbackDirectoryName / kNotifierStateFileName;
}

NotifierStateFile::NotifierStateFile(std::filesystem::path path) : path_(std::move(path)) {}

std::optional<NotifierState> NotifierStateFile::load() const {
  std::error_code error;
  if (!std::filesystem::exists(path_, error)) {
    return std::nullopt;
  }
  if (!std::filesystem::is_regular_file(path_, error) ||
      std::filesystem::file_size(path_, error) > kMaxStateFileSize) {
    throw NotifierStateError(path_.string() + " is not a notifier state file");
  }
  std::ifstream in(path_, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) {
    throw NotifierStateError("cannot read " + path_.string());
  }
  try {
    return decodeNotifierState(text.str());
  } catch (const NotifierStateError &problem) {
    throw NotifierStateError(path_.string() + ": " + problem.what());
  }
}

void NotifierStateFile::removeStaleTemporaries() const noexcept {
  AtomicFile::removeStaleTemporaries(path_);
}

void NotifierStateFile::save(const NotifierState &state) const {
  std::error_code error;
  std::filesystem::create_directories(path_.parent_path(), error);
  if (error) {
    throw SnapshotStoreError("cannot create directory " + path_.parent_path().string() + " for " +
                             path_.string() + ": " + error.message());
  }
  AtomicFile file(path_);
  file.write(encodeNotifierState(state));
  file.commit();
}

} // namespace quorbel
