#include "tray/dbus_menu_linux.hpp"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quorbel {
namespace {

constexpr std::uint32_t kMenuVersion = 3;

// Fixed ids for the actions, so a click on a menu drawn from an older layout still means the same.
constexpr std::int32_t kRootId = 0;
constexpr std::int32_t kOpenDetailsId = 1;
constexpr std::int32_t kQuitId = 2;
constexpr std::int32_t kActionsSeparatorId = 3;
constexpr std::int32_t kFirstRowId = 10;

DbusMenu &menuOf(void *userdata) { return *static_cast<DbusMenu *>(userdata); }

// dbusmenu reads one underscore as the mark of the next letter's shortcut.
std::string withoutMnemonics(std::string_view label) {
  std::string escaped;
  for (const char c : label) {
    escaped += c;
    if (c == '_') {
      escaped += '_';
    }
  }
  return escaped;
}

int menuProperty(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
                 void *userdata, sd_bus_error *) {
  return menuOf(userdata).propertyOf(property, reply);
}

template <int (DbusMenu::*handler)(sd_bus_message *)>
int menuMethod(sd_bus_message *call, void *userdata, sd_bus_error *) {
  return (menuOf(userdata).*handler)(call);
}

const sd_bus_vtable kMenuVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Version", "u", menuProperty, 0, 0),
    SD_BUS_PROPERTY("TextDirection", "s", menuProperty, 0, 0),
    SD_BUS_PROPERTY("Status", "s", menuProperty, 0, 0),
    SD_BUS_PROPERTY("IconThemePath", "as", menuProperty, 0, 0),
    SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", menuMethod<&DbusMenu::getLayout>, 0),
    SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})",
                  menuMethod<&DbusMenu::getGroupProperties>, 0),
    SD_BUS_METHOD("GetProperty", "is", "v", menuMethod<&DbusMenu::getProperty>, 0),
    SD_BUS_METHOD("Event", "isvu", "", menuMethod<&DbusMenu::event>, 0),
    SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", menuMethod<&DbusMenu::eventGroup>, 0),
    SD_BUS_METHOD("AboutToShow", "i", "b", menuMethod<&DbusMenu::aboutToShow>, 0),
    SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", menuMethod<&DbusMenu::aboutToShowGroup>, 0),
    SD_BUS_SIGNAL("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
    SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
    SD_BUS_SIGNAL("ItemActivationRequested", "iu", 0),
    SD_BUS_VTABLE_END,
};

std::vector<std::string> readStrings(sd_bus_message *call, int &r) {
  char **strings = nullptr;
  r = sd_bus_message_read_strv(call, &strings);
  std::vector<std::string> read;
  for (char **s = strings; s != nullptr && *s != nullptr; ++s) {
    read.emplace_back(*s);
    std::free(*s);
  }
  std::free(strings);
  return read;
}

std::vector<std::int32_t> readIds(sd_bus_message *call, int &r) {
  const void *data = nullptr;
  std::size_t size = 0;
  r = sd_bus_message_read_array(call, 'i', &data, &size);
  std::vector<std::int32_t> ids(r < 0 ? 0 : size / sizeof(std::int32_t));
  if (!ids.empty()) {
    std::memcpy(ids.data(), data, ids.size() * sizeof(std::int32_t));
  }
  return ids;
}

int unknownItem(sd_bus_message *call, std::int32_t id) {
  return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_INVALID_ARGS, "no menu item %d", int(id));
}

} // namespace

// One menu entry: a row of information (disabled), a separator, or an action.
struct DbusMenu::Item {
  std::int32_t id = kRootId;
  bool separator = false;
  bool enabled = true;
  std::string label;

  // Appends the a{sv} of its properties, only those in `names` unless that is empty.
  int append(sd_bus_message *reply, const std::vector<std::string> &names) const {
    const auto wanted = [&names](std::string_view name) {
      return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
    };
    int r = sd_bus_message_open_container(reply, 'a', "{sv}");
    if (r >= 0 && id == kRootId && wanted("children-display")) {
      r = sd_bus_message_append(reply, "{sv}", "children-display", "s", "submenu");
    }
    if (r >= 0 && id != kRootId && separator && wanted("type")) {
      r = sd_bus_message_append(reply, "{sv}", "type", "s", "separator");
    }
    if (r >= 0 && id != kRootId && !separator && wanted("label")) {
      r = sd_bus_message_append(reply, "{sv}", "label", "s", withoutMnemonics(label).c_str());
    }
    if (r >= 0 && !enabled && wanted("enabled")) {
      r = sd_bus_message_append(reply, "{sv}", "enabled", "b", 0);
    }
    return r < 0 ? r : sd_bus_message_close_container(reply);
  }

  // The (ia{sv}av) of the item, its children given as variants.
  int appendLayout(sd_bus_message *reply, const std::vector<std::string> &names,
                   const std::vector<Item> &children) const {
    int r = sd_bus_message_open_container(reply, 'r', "ia{sv}av");
    if (r >= 0) {
      r = sd_bus_message_append(reply, "i", id);
    }
    if (r >= 0) {
      r = append(reply, names);
    }
    if (r >= 0) {
      r = sd_bus_message_open_container(reply, 'a', "v");
    }
    for (const Item &child : children) {
      if (r >= 0) {
        r = sd_bus_message_open_container(reply, 'v', "(ia{sv}av)");
      }
      if (r >= 0) {
        r = child.appendLayout(reply, names, {});
      }
      if (r >= 0) {
        r = sd_bus_message_close_container(reply);
      }
    }
    if (r >= 0) {
      r = sd_bus_message_close_container(reply);
    }
    return r < 0 ? r : sd_bus_message_close_container(reply);
  }
};

DbusMenu::DbusMenu(Hooks hooks) : hooks_(std::move(hooks)) {}

DbusMenu::~DbusMenu() = default;

int DbusMenu::addTo(sd_bus *bus, sd_bus_slot **slot) {
  return sd_bus_add_object_vtable(bus, slot, kPath, kInterface, kMenuVtable, this);
}

bool DbusMenu::changeRows(std::vector<std::string> rows) {
  if (rows == rows_) {
    return false;
  }
  rows_ = std::move(rows);
  ++revision_;
  return true;
}

int DbusMenu::announceLayout(sd_bus *bus) const {
  return sd_bus_emit_signal(bus, kPath, kInterface, "LayoutUpdated", "ui", revision_, kRootId);
}

int DbusMenu::propertyOf(std::string_view property, sd_bus_message *reply) {
  if (property == "Version") {
    return sd_bus_message_append(reply, "u", kMenuVersion);
  }
  if (property == "IconThemePath") {
    return sd_bus_message_append(reply, "as", 0);
  }
  return sd_bus_message_append(reply, "s", property == "Status" ? "normal" : "ltr");
}

std::vector<DbusMenu::Item> DbusMenu::items() const {
  std::vector<Item> items;
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    items.push_back({kFirstRowId + std::int32_t(i), rows_[i].empty(), false, rows_[i]});
  }
  items.push_back({kActionsSeparatorId, true, true, ""});
  items.push_back({kOpenDetailsId, false, true, "Open details"});
  items.push_back({kQuitId, false, true, "Quit"});
  return items;
}

bool DbusMenu::refreshRows() { return changeRows(hooks_.freshRows()); }

int DbusMenu::getLayout(sd_bus_message *call) {
  std::int32_t parent = 0, depth = 0;
  int r = sd_bus_message_read(call, "ii", &parent, &depth);
  const std::vector<std::string> names = r < 0 ? std::vector<std::string>{} : readStrings(call, r);
  if (r < 0) {
    return r;
  }
  // Opening the menu asks for the layout: the countdowns and the data's age are read now.
  refreshRows();
  const std::vector<Item> children = items();
  const Item root{kRootId, false, true, ""};
  const Item *item = parent == kRootId ? &root : nullptr;
  for (const Item &child : children) {
    item = child.id == parent ? &child : item;
  }
  if (item == nullptr) {
    return unknownItem(call, parent);
  }
  sd_bus_message *reply = nullptr;
  r = sd_bus_message_new_method_return(call, &reply);
  if (r >= 0) {
    r = sd_bus_message_append(reply, "u", revision_);
  }
  if (r >= 0) {
    r = item->appendLayout(reply, names,
                           item == &root && depth != 0 ? children : std::vector<Item>{});
  }
  if (r >= 0) {
    r = sd_bus_send(nullptr, reply, nullptr);
  }
  sd_bus_message_unref(reply);
  return r;
}

int DbusMenu::getGroupProperties(sd_bus_message *call) {
  int r = 0;
  const std::vector<std::int32_t> ids = readIds(call, r);
  const std::vector<std::string> names = r < 0 ? std::vector<std::string>{} : readStrings(call, r);
  if (r < 0) {
    return r;
  }
  // The root is asked for too (libdbusmenu after each layout), and warns when it is left out.
  std::vector<Item> known = items();
  known.insert(known.begin(), Item{kRootId, false, true, ""});
  sd_bus_message *reply = nullptr;
  r = sd_bus_message_new_method_return(call, &reply);
  if (r >= 0) {
    r = sd_bus_message_open_container(reply, 'a', "(ia{sv})");
  }
  for (const Item &item : known) {
    if (r >= 0 && std::find(ids.begin(), ids.end(), item.id) != ids.end()) {
      r = sd_bus_message_open_container(reply, 'r', "ia{sv}");
      if (r >= 0) {
        r = sd_bus_message_append(reply, "i", item.id);
      }
      if (r >= 0) {
        r = item.append(reply, names);
      }
      if (r >= 0) {
        r = sd_bus_message_close_container(reply);
      }
    }
  }
  if (r >= 0) {
    r = sd_bus_message_close_container(reply);
  }
  if (r >= 0) {
    r = sd_bus_send(nullptr, reply, nullptr);
  }
  sd_bus_message_unref(reply);
  return r;
}

int DbusMenu::getProperty(sd_bus_message *call) {
  std::int32_t id = 0;
  const char *name = nullptr;
  const int r = sd_bus_message_read(call, "is", &id, &name);
  if (r < 0) {
    return r;
  }
  for (const Item &item : items()) {
    if (item.id != id) {
      continue;
    }
    const std::string_view property = name;
    if (property == "label" && !item.separator) {
      return sd_bus_reply_method_return(call, "v", "s", withoutMnemonics(item.label).c_str());
    }
    if (property == "enabled") {
      return sd_bus_reply_method_return(call, "v", "b", int(item.enabled));
    }
    if (property == "type" && item.separator) {
      return sd_bus_reply_method_return(call, "v", "s", "separator");
    }
    return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_INVALID_ARGS,
                                      "menu item %d has no property '%s'", int(id), name);
  }
  return unknownItem(call, id);
}

bool DbusMenu::handleClick(std::int32_t id) {
  if (id == kOpenDetailsId) {
    hooks_.openDetails();
  } else if (id == kQuitId) {
    quit_ = true;
  }
  const std::vector<Item> children = items();
  return std::any_of(children.begin(), children.end(),
                     [id](const Item &item) { return item.id == id; });
}

int DbusMenu::event(sd_bus_message *call) {
  std::int32_t id = 0;
  const char *kind = nullptr;
  const int r = sd_bus_message_read(call, "is", &id, &kind);
  if (r < 0) {
    return r;
  }
  const bool known = std::string_view(kind) == "clicked" ? handleClick(id) : id >= kRootId;
  return known ? sd_bus_reply_method_return(call, "") : unknownItem(call, id);
}

int DbusMenu::eventGroup(sd_bus_message *call) {
  std::vector<std::int32_t> unknown;
  int r = sd_bus_message_enter_container(call, 'a', "(isvu)");
  while (r >= 0 && (r = sd_bus_message_enter_container(call, 'r', "isvu")) > 0) {
    std::int32_t id = 0;
    const char *kind = nullptr;
    r = sd_bus_message_read(call, "is", &id, &kind);
    if (r >= 0) {
      r = sd_bus_message_skip(call, "vu");
    }
    if (r >= 0) {
      r = sd_bus_message_exit_container(call);
    }
    if (r >= 0 && std::string_view(kind) == "clicked" && !handleClick(id)) {
      unknown.push_back(id);
    }
  }
  if (r < 0) {
    return r;
  }
  sd_bus_message *reply = nullptr;
  r = sd_bus_message_new_method_return(call, &reply);
  if (r >= 0) {
    r = sd_bus_message_append_array(reply, 'i', unknown.data(),
                                    unknown.size() * sizeof(std::int32_t));
  }
  if (r >= 0) {
    r = sd_bus_send(nullptr, reply, nullptr);
  }
  sd_bus_message_unref(reply);
  return r;
}

int DbusMenu::aboutToShow(sd_bus_message *call) {
  std::int32_t id = 0;
  const int r = sd_bus_message_read(call, "i", &id);
  if (r < 0) {
    return r;
  }
  return sd_bus_reply_method_return(call, "b", int(id == kRootId && refreshRows()));
}

int DbusMenu::aboutToShowGroup(sd_bus_message *call) {
  int r = 0;
  const std::vector<std::int32_t> ids = readIds(call, r);
  if (r < 0) {
    return r;
  }
  const bool root = std::find(ids.begin(), ids.end(), kRootId) != ids.end();
  const std::int32_t updated[] = {kRootId};
  const bool changed = root && refreshRows();
  sd_bus_message *reply = nullptr;
  r = sd_bus_message_new_method_return(call, &reply);
  if (r >= 0) {
    r = sd_bus_message_append_array(reply, 'i', updated, changed ? sizeof updated : 0);
  }
  if (r >= 0) {
    r = sd_bus_message_append_array(reply, 'i', nullptr, 0);
  }
  if (r >= 0) {
    r = sd_bus_send(nullptr, reply, nullptr);
  }
  sd_bus_message_unref(reply);
  return r;
}

} // namespace quorbel
