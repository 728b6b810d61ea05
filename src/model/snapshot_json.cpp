#include "model/snapshot_json.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

namespace quorbel {
namespace {

using Json = nlohmann::json;

void appendEscaped(std::string &out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\b':
      out += "\\b";
      break;
    case '\f':
      out += "\\f";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (static_cast<unsigned char>(c) < 0x20) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "\\u%04x", unsigned(static_cast<unsigned char>(c)));
        out += buffer;
      } else {
        out += c;
      }
    }
  }
  out += '"';
}

std::string jsonString(std::string_view text) {
  std::string rendered;
  appendEscaped(rendered, text);
  return rendered;
}

// Members are (key, value already rendered as JSON), given in the order they are to appear.
using Members = std::vector<std::pair<std::string_view, std::string>>;

std::string renderObject(const Members &members, JsonLayout layout, int depth) {
  if (members.empty()) {
    return "{}";
  }
  const bool pretty = layout == JsonLayout::pretty;
  const std::string indent(std::size_t(depth + 1) * 2, ' ');
  std::string out = "{";
  bool first = true;
  for (const auto &[key, value] : members) {
    if (!first) {
      out += ',';
    }
    first = false;
    if (pretty) {
      out += '\n';
      out += indent;
    }
    appendEscaped(out, key);
    out += pretty ? " : " : ":";
    out += value;
  }
  if (pretty) {
    out += '\n';
    out += std::string(std::size_t(depth) * 2, ' ');
  }
  out += '}';
  return out;
}

std::string renderWindow(const PlanWindow &window, JsonLayout layout) {
  return renderObject({{"percent", std::to_string(window.percent)},
                       {"resetsAt", jsonString(formatInternetDate(window.resetsAt))}},
                      layout, 1);
}

std::string renderExtraUsage(const ExtraUsage &money, JsonLayout layout) {
  Members members{{"currency", jsonString(money.currency)},
                  {"exponent", std::to_string(money.exponent)}};
  if (money.limit) {
    members.emplace_back("limit", std::to_string(*money.limit));
  }
  members.emplace_back("used", std::to_string(money.used));
  return renderObject(members, layout, 1);
}

std::string renderModelWindow(const ModelWindow &window, JsonLayout layout, int depth) {
  Members members{{"model", jsonString(window.model)}, {"percent", std::to_string(window.percent)}};
  if (window.resetsAt) {
    members.emplace_back("resetsAt", jsonString(formatInternetDate(*window.resetsAt)));
  }
  return renderObject(members, layout, depth);
}

// Laid out like the objects: one element per line, each level two spaces deeper.
std::string renderModelWindows(const std::vector<ModelWindow> &windows, JsonLayout layout) {
  const bool pretty = layout == JsonLayout::pretty;
  std::string out = "[";
  bool first = true;
  for (const ModelWindow &window : windows) {
    if (!first) {
      out += ',';
    }
    first = false;
    if (pretty) {
      out += "\n    ";
    }
    out += renderModelWindow(window, layout, 2);
  }
  out += pretty ? "\n  ]" : "]";
  return out;
}

[[noreturn]] void reject(const std::string &why) { throw SnapshotFormatError(why); }

// null and a missing member both mean "absent".
const Json *member(const Json &object, const char *key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) {
    return nullptr;
  }
  return &*it;
}

Instant readDate(const Json &value, const std::string &key) {
  if (!value.is_string()) {
    reject("\"" + key + "\" is not a date string");
  }
  const auto date = PlanDateParser::dateFrom(value.get_ref<const std::string &>());
  if (!date) {
    reject("\"" + key + "\" is not an internet date-time");
  }
  return *date;
}

// Only integers that fit a signed 64-bit value; 41.0 and 4.1e1 are not integers here.
std::int64_t readPercent(const Json &value) {
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    return value.get<std::int64_t>();
  }
  if (value.is_number_unsigned()) {
    const auto unsignedValue = value.get<std::uint64_t>();
    if (unsignedValue <= std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
      return std::int64_t(unsignedValue);
    }
  }
  reject("\"percent\" is not a 64-bit integer");
}

std::optional<PlanWindow> readWindow(const Json &object, const char *key) {
  const Json *value = member(object, key);
  if (value == nullptr) {
    return std::nullopt;
  }
  if (!value->is_object()) {
    reject(std::string("\"") + key + "\" is not an object");
  }
  const auto percent = value->find("percent");
  const auto resetsAt = value->find("resetsAt");
  if (percent == value->end() || resetsAt == value->end()) {
    reject(std::string("\"") + key + "\" lacks \"percent\" or \"resetsAt\"");
  }
  return PlanWindow{readPercent(*percent), readDate(*resetsAt, key + std::string(".resetsAt"))};
}

std::vector<ModelWindow> readModelWindows(const Json &object) {
  const Json *value = member(object, "modelWindows");
  if (value == nullptr) {
    return {};
  }
  if (!value->is_array()) {
    reject("\"modelWindows\" is not an array");
  }
  std::vector<ModelWindow> windows;
  for (const Json &entry : *value) {
    if (!entry.is_object()) {
      reject("a model window is not an object");
    }
    const auto model = entry.find("model");
    const auto percent = entry.find("percent");
    if (model == entry.end() || !model->is_string() || percent == entry.end()) {
      reject("a model window lacks \"model\" or \"percent\"");
    }
    ModelWindow window{model->get<std::string>(), readPercent(*percent), std::nullopt};
    if (const Json *resetsAt = member(entry, "resetsAt")) {
      window.resetsAt = readDate(*resetsAt, "modelWindows.resetsAt");
    }
    windows.push_back(std::move(window));
  }
  return windows;
}

std::optional<std::int64_t> integerMember(const Json &object, const char *key) {
  const auto value = object.find(key);
  if (value == object.end() || !value->is_number_integer() ||
      (value->is_number_unsigned() &&
       value->get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max()))) {
    return std::nullopt;
  }
  return value->get<std::int64_t>();
}

// Unlike the other members, one that does not read is dropped, not fatal: the money is an aside to
// the two windows, and a file that a newer writer gave a currency or precision this reader refuses
// must still show them (and still seed the helper).
std::optional<ExtraUsage> readExtraUsage(const Json &object) {
  const Json *value = member(object, "extraUsage");
  if (value == nullptr || !value->is_object()) {
    return std::nullopt;
  }
  const auto currency = value->find("currency");
  const auto exponent = integerMember(*value, "exponent");
  const auto used = integerMember(*value, "used");
  const Json *limit = member(*value, "limit");
  if (currency == value->end() || !currency->is_string() || !exponent || !used) {
    return std::nullopt;
  }
  ExtraUsage money{currency->get<std::string>(), *exponent, *used, std::nullopt};
  if (limit != nullptr) {
    money.limit = integerMember(*value, "limit");
    if (!money.limit) {
      return std::nullopt;
    }
  }
  return money.wellFormed() ? std::optional(std::move(money)) : std::nullopt;
}

std::optional<std::string> readString(const Json &object, const char *key) {
  const Json *value = member(object, key);
  if (value == nullptr) {
    return std::nullopt;
  }
  if (!value->is_string()) {
    reject(std::string("\"") + key + "\" is not a string");
  }
  return value->get<std::string>();
}

} // namespace

std::string encodeSnapshot(const PlanSnapshot &snapshot, JsonLayout layout) {
  // Members are added in key order, which is the order the file shows them in.
  Members members;
  if (snapshot.allModels) {
    members.emplace_back("allModels", renderWindow(*snapshot.allModels, layout));
  }
  if (snapshot.extraUsage) {
    members.emplace_back("extraUsage", renderExtraUsage(*snapshot.extraUsage, layout));
  }
  members.emplace_back("fetchedAt", jsonString(formatInternetDate(snapshot.fetchedAt)));
  if (snapshot.inactiveReason) {
    members.emplace_back("inactiveReason", jsonString(rawValue(*snapshot.inactiveReason)));
  }
  if (!snapshot.modelWindows.empty()) {
    members.emplace_back("modelWindows", renderModelWindows(snapshot.modelWindows, layout));
  }
  if (snapshot.rateLimitTier) {
    members.emplace_back("rateLimitTier", jsonString(*snapshot.rateLimitTier));
  }
  if (snapshot.session) {
    members.emplace_back("session", renderWindow(*snapshot.session, layout));
  }
  if (snapshot.status) {
    members.emplace_back("status", jsonString(rawValue(*snapshot.status)));
  }
  if (snapshot.subscriptionType) {
    members.emplace_back("subscriptionType", jsonString(*snapshot.subscriptionType));
  }
  return renderObject(members, layout, 0);
}

PlanSnapshot decodeSnapshot(std::string_view text) {
  const Json document = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) {
    reject("not JSON");
  }
  if (!document.is_object()) {
    reject("not a JSON object");
  }
  const auto fetchedAt = document.find("fetchedAt");
  if (fetchedAt == document.end()) {
    reject("\"fetchedAt\" is missing");
  }

  PlanSnapshot snapshot;
  snapshot.fetchedAt = readDate(*fetchedAt, "fetchedAt");
  snapshot.session = readWindow(document, "session");
  snapshot.allModels = readWindow(document, "allModels");
  snapshot.subscriptionType = readString(document, "subscriptionType");
  snapshot.rateLimitTier = readString(document, "rateLimitTier");
  snapshot.modelWindows = readModelWindows(document);
  snapshot.extraUsage = readExtraUsage(document);
  if (const Json *status = member(document, "status")) {
    if (!status->is_string()) {
      reject("\"status\" is not a string");
    }
    snapshot.status = planStatusFromRaw(status->get_ref<const std::string &>());
    if (!snapshot.status) {
      reject("\"status\" is not a known status");
    }
  }
  // Unlike an unknown status, an unknown reason leaves the file usable: a newer helper may tell
  // a reason this reader has no words for, and the status alone still says what matters.
  if (const auto reason = readString(document, "inactiveReason")) {
    snapshot.inactiveReason = inactiveReasonFromRaw(*reason);
  }
  return snapshot;
}

} // namespace quorbel
