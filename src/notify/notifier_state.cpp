#include "notify/notifier_state.hpp"

#include "model/display_text.hpp"
#include "platform/atomic_file.hpp"
#include "platform/small_file.hpp"
#include "platform/xdg_directories.hpp"

#include <nlohmann/json.hpp>

namespace quorbel {
namespace {

// The state is a few lines; anything much bigger was not written by the notifier.
constexpr std::size_t kMaxStateFileSize = 64 * 1024;

} // namespace

std::string encodeNotifierState(const NotifierState &state) {
  nlohmann::json windows = nlohmann::json::object();
  for (const auto &[key, record] : state.windows) {
    windows[key] = {{"period", record.period},
                    {"notified", std::string(usageLevelName(record.notified))},
                    {"resetSent", record.resetSent}};
  }
  nlohmann::json object = {{"signedOut", state.signedOut}, {"windows", windows}};
  if (const auto &money = state.extraUsage) {
    object["extraUsage"] = {{"currency", money->currency},
                            {"exponent", money->exponent},
                            {"used", money->used},
                            {"spendingSent", money->spendingSent},
                            {"capNotified", std::string(usageLevelName(money->capNotified))}};
  }
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
      throw NotifierStateError("window '" + displayText(key) + "' is not a window record");
    }
    const auto level = usageLevelNamed(value["notified"].get<std::string>());
    if (!level) {
      throw NotifierStateError("window '" + displayText(key) + "' has an unknown level");
    }
    state.windows[key] =
        WindowRecord{value["period"].get<std::string>(), *level, value["resetSent"].get<bool>()};
  }
  // Files written before extra usage was told of have no such member.
  if (object.contains("extraUsage")) {
    const nlohmann::json &money = object["extraUsage"];
    const auto integer = [&](const char *key) {
      return money.contains(key) && money[key].is_number_integer();
    };
    const auto level =
        money.is_object() && money.contains("capNotified") && money["capNotified"].is_string()
            ? usageLevelNamed(money["capNotified"].get<std::string>())
            : std::nullopt;
    if (!money.is_object() || !money.contains("currency") || !money["currency"].is_string() ||
        !integer("exponent") || !integer("used") || !money.contains("spendingSent") ||
        !money["spendingSent"].is_boolean() || !level) {
      throw NotifierStateError("'extraUsage' is not an extra usage record");
    }
    state.extraUsage = ExtraUsageRecord{
        money["currency"].get<std::string>(), money["exponent"].get<std::int64_t>(),
        money["used"].get<std::int64_t>(), money["spendingSent"].get<bool>(), *level};
  }
  return state;
}

std::optional<std::filesystem::path>
notifierStateLocation(const std::optional<std::string> &xdgStateHome,
                      const std::optional<std::filesystem::path> &home) {
  const auto stateDirectory = resolveXdgDirectory(XdgDirectory::state, xdgStateHome, home);
  if (!stateDirectory) {
    return std::nullopt;
  }
  return *stateDirectory / kFallbackDirectoryName / kNotifierStateFileName;
}

NotifierStateFile::NotifierStateFile(std::filesystem::path path) : path_(std::move(path)) {}

std::optional<NotifierState> NotifierStateFile::load() const {
  const SmallFile file = readSmallFile(path_, kMaxStateFileSize);
  if (file.outcome == SmallFile::Outcome::missing) {
    return std::nullopt;
  }
  if (!file.found()) {
    throw NotifierStateError("cannot read " + path_.string() + ": " + file.reason());
  }
  try {
    return decodeNotifierState(file.content);
  } catch (const NotifierStateError &problem) {
    throw NotifierStateError(path_.string() + ": " + problem.what());
  }
}

void NotifierStateFile::removeStaleTemporaries() const noexcept {
  AtomicFile::removeStaleTemporaries(path_);
}

void NotifierStateFile::save(const NotifierState &state) const {
  replaceFile(path_, encodeNotifierState(state));
}

} // namespace quorbel
