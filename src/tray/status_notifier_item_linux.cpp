#include "tray/status_notifier_item_linux.hpp"

#include "platform/errno_text.hpp"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <utility>

namespace quorbel {
namespace {

constexpr const char *kItemPath = "/StatusNotifierItem";
constexpr const char *kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char *kMenuPath = "/MenuBar";
constexpr const char *kMenuInterface = "com.canonical.dbusmenu";
constexpr const char *kWatcher = "org.kde.StatusNotifierWatcher";
constexpr const char *kWatcherPath = "/StatusNotifierWatcher";
constexpr const char *kTitle = "Claude usage";
constexpr const char *kItemId = "quorbel-tray";
constexpr std::uint32_t kMenuVersion = 3;

// Fixed ids for the actions, so a click on a menu drawn from an older layout still means the same.
constexpr std::int32_t kRootId = 0;
constexpr std::int32_t kOpenDetailsId = 1;
constexpr std::int32_t kQuitId = 2;
constexpr std::int32_t kActionsSeparatorId = 3;
constexpr std::int32_t kFirstRowId = 10;

StatusNotifierItem &itemOf(void *userdata) { return *static_cast<StatusNotifierItem *>(userdata); }

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

int itemProperty(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
                 void *userdata, sd_bus_error *) {
  return itemOf(userdata).propertyOf(property, reply);
}

int menuProperty(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
                 void *userdata, sd_bus_error *) {
  return itemOf(userdata).menuPropertyOf(property, reply);
}

int onActivate(sd_bus_message *call, void *userdata, sd_bus_error *) {
  itemOf(userdata).activate();
  return sd_bus_reply_method_return(call, "");
}

// Right clicks, middle clicks and scrolling have nothing to do here; the menu is the Menu property.
int onIgnored(sd_bus_message *call, void *, sd_bus_error *) {
  return sd_bus_reply_method_return(call, "");
}

template <int (StatusNotifierItem::*handler)(sd_bus_message *)>
int menuMethod(sd_bus_message *call, void *userdata, sd_bus_error *) {
  return (itemOf(userdata).*handler)(call);
}

int onWatcherOwner(sd_bus_message *signal, void *userdata, sd_bus_error *) {
  const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
  if (sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) >= 0 &&
      std::strcmp(name, kWatcher) == 0 && *newOwner != '\0') {
    itemOf(userdata).registerWithWatcher();
  }
  return 0;
}

int onRegistered(sd_bus_message *reply, void *userdata, sd_bus_error *) {
  itemOf(userdata).registered(reply);
  return 0;
}

const sd_bus_vtable kItemVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Category", "s", itemProperty, 0, 0),
    SD_BUS_PROPERTY("Id", "s", itemProperty, 0, 0),
    SD_BUS_PROPERTY("Title", "s", itemProperty, 0, 0),
    SD_BUS_PROPERTY("Status", "s", itemProperty, 0, 0),
    SD_BUS_PROPERTY("WindowId", "i", itemProperty, 0, 0),
    SD_BUS_PROPERTY("IconThemePath", "s", itemProperty, 0, 0),
    SD_BUS_PROPERTY("IconName", "s", itemProperty, 0, 0),
    SD_BUS_PROPERTY("IconPixmap", "a(iiay)", itemProperty, 0, 0),
    SD_BUS_PROPERTY("OverlayIconName", "s", itemProperty, 0, 0),
    SD_BUS_PROPERTY("OverlayIconPixmap", "a(iiay)", itemProperty, 0, 0),
    SD_BUS_PROPERTY("AttentionIconName", "s", itemProperty, 0, 0),
    SD_BUS_PROPERTY("AttentionIconPixmap", "a(iiay)", itemProperty, 0, 0),
    SD_BUS_PROPERTY("AttentionMovieName", "s", itemProperty, 0, 0),
    SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", itemProperty, 0, 0),
    SD_BUS_PROPERTY("ItemIsMenu", "b", itemProperty, 0, 0),
    SD_BUS_PROPERTY("Menu", "o", itemProperty, 0, 0),
    SD_BUS_PROPERTY("XAyatanaLabel", "s", itemProperty, 0, 0),
    SD_BUS_PROPERTY("XAyatanaLabelGuide", "s", itemProperty, 0, 0),
    SD_BUS_METHOD("Activate", "ii", "", onActivate, 0),
    SD_BUS_METHOD("SecondaryActivate", "ii", "", onIgnored, 0),
    SD_BUS_METHOD("ContextMenu", "ii", "", onIgnored, 0),
    SD_BUS_METHOD("Scroll", "is", "", onIgnored, 0),
    SD_BUS_SIGNAL("NewTitle", "", 0),
    SD_BUS_SIGNAL("NewIcon", "", 0),
    SD_BUS_SIGNAL("NewAttentionIcon", "", 0),
    SD_BUS_SIGNAL("NewOverlayIcon", "", 0),
    SD_BUS_SIGNAL("NewToolTip", "", 0),
    SD_BUS_SIGNAL("NewStatus", "s", 0),
    SD_BUS_SIGNAL("XAyatanaNewLabel", "ss", 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kMenuVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Version", "u", menuProperty, 0, 0),
    SD_BUS_PROPERTY("TextDirection", "s", menuProperty, 0, 0),
    SD_BUS_PROPERTY("Status", "s", menuProperty, 0, 0),
    SD_BUS_PROPERTY("IconThemePath", "as", menuProperty, 0, 0),
    SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", menuMethod<&StatusNotifierItem::getLayout>,
                  0),
    SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})",
                  menuMethod<&StatusNotifierItem::getGroupProperties>, 0),
    SD_BUS_METHOD("GetProperty", "is", "v", menuMethod<&StatusNotifierItem::getProperty>, 0),
    SD_BUS_METHOD("Event", "isvu", "", menuMethod<&StatusNotifierItem::event>, 0),
    SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", menuMethod<&StatusNotifierItem::eventGroup>, 0),
    SD_BUS_METHOD("AboutToShow", "i", "b", menuMethod<&StatusNotifierItem::aboutToShow>, 0),
    SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai",
                  menuMethod<&StatusNotifierItem::aboutToShowGroup>, 0),
    SD_BUS_SIGNAL("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
    SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
    SD_BUS_SIGNAL("ItemActivationRequested", "iu", 0),
    SD_BUS_VTABLE_END,
};

int appendPixmaps(sd_bus_message *reply, const std::vector<IconPixmap> &pixmaps) {
  int r = sd_bus_message_open_container(reply, 'a', "(iiay)");
  for (const IconPixmap &pixmap : pixmaps) {
    if (r >= 0) {
      r = sd_bus_message_open_container(reply, 'r', "iiay");
    }
    if (r >= 0) {
      r = sd_bus_message_append(reply, "ii", pixmap.size, pixmap.size);
    }
    if (r >= 0) {
      r = sd_bus_message_append_array(reply, 'y', pixmap.argb.data(), pixmap.argb.size());
    }
    if (r >= 0) {
      r = sd_bus_message_close_container(reply);
    }
  }
  return r < 0 ? r : sd_bus_message_close_container(reply);
}

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
struct StatusNotifierItem::Item {
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

StatusNotifierItem::StatusNotifierItem(Hooks hooks) : hooks_(std::move(hooks)) {
  int r = sd_bus_open_user(&bus_);
  if (r < 0) {
    throw TrayBusError(failureText("cannot connect to the session bus", -r));
  }
  busName_ = "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-1";
  const auto add = [this](sd_bus_slot *slot) { slots_.push_back(slot); };
  sd_bus_slot *slot = nullptr;
  r = sd_bus_add_object_vtable(bus_, &slot, kItemPath, kItemInterface, kItemVtable, this);
  if (r >= 0) {
    add(slot);
    r = sd_bus_add_object_vtable(bus_, &slot, kMenuPath, kMenuInterface, kMenuVtable, this);
  }
  if (r >= 0) {
    add(slot);
    r = sd_bus_add_match(bus_, &slot,
                         "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop."
                         "DBus',member='NameOwnerChanged',arg0='org.kde.StatusNotifierWatcher'",
                         onWatcherOwner, this);
  }
  if (r >= 0) {
    add(slot);
    r = sd_bus_request_name(bus_, busName_.c_str(), 0);
  }
  if (r < 0) {
    const std::string why = failureText("cannot offer the tray item on the session bus", -r);
    for (sd_bus_slot *added : slots_) {
      sd_bus_slot_unref(added);
    }
    sd_bus_flush_close_unref(bus_);
    throw TrayBusError(why);
  }
}

StatusNotifierItem::~StatusNotifierItem() {
  for (sd_bus_slot *slot : slots_) {
    sd_bus_slot_unref(slot);
  }
  sd_bus_flush_close_unref(bus_);
}

int StatusNotifierItem::fd() const { return sd_bus_get_fd(bus_); }

void StatusNotifierItem::registerWithWatcher() {
  const int r = sd_bus_call_method_async(bus_, nullptr, kWatcher, kWatcherPath, kWatcher,
                                         "RegisterStatusNotifierItem", onRegistered, this, "s",
                                         busName_.c_str());
  if (r < 0) {
    hooks_.tell(failureText("cannot ask the tray to show the item", -r));
  }
}

void StatusNotifierItem::registered(sd_bus_message *reply) {
  const sd_bus_error *error = sd_bus_message_get_error(reply);
  if (error == nullptr) {
    toldNoWatcher_ = false;
    return;
  }
  if (sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
    // Said once: a panel started later registers the item by itself (see onWatcherOwner).
    if (!std::exchange(toldNoWatcher_, true)) {
      hooks_.tell("no tray on the session bus yet (nothing owns org.kde.StatusNotifierWatcher); "
                  "waiting for one");
    }
    return;
  }
  hooks_.tell(std::string("the tray did not take the item: ") +
              (error->message != nullptr ? error->message : error->name));
}

int StatusNotifierItem::propertyOf(std::string_view property, sd_bus_message *reply) {
  if (property == "Category") {
    return sd_bus_message_append(reply, "s", "ApplicationStatus");
  }
  if (property == "Id") {
    return sd_bus_message_append(reply, "s", kItemId);
  }
  if (property == "Title") {
    return sd_bus_message_append(reply, "s", kTitle);
  }
  if (property == "Status") {
    return sd_bus_message_append(reply, "s", look_.needsAttention ? "NeedsAttention" : "Active");
  }
  if (property == "WindowId") {
    return sd_bus_message_append(reply, "i", 0);
  }
  if (property == "IconPixmap") {
    return appendPixmaps(reply, icons_.pixmaps());
  }
  if (property == "OverlayIconPixmap" || property == "AttentionIconPixmap") {
    return appendPixmaps(reply, {});
  }
  if (property == "ToolTip") {
    int r = sd_bus_message_open_container(reply, 'r', "sa(iiay)ss");
    if (r >= 0) {
      r = sd_bus_message_append(reply, "s", "");
    }
    if (r >= 0) {
      r = appendPixmaps(reply, {});
    }
    if (r >= 0) {
      r = sd_bus_message_append(reply, "ss", kTitle, look_.tooltip.c_str());
    }
    return r < 0 ? r : sd_bus_message_close_container(reply);
  }
  if (property == "ItemIsMenu") {
    return sd_bus_message_append(reply, "b", 0);
  }
  if (property == "Menu") {
    return sd_bus_message_append(reply, "o", kMenuPath);
  }
  if (property == "XAyatanaLabel") {
    return sd_bus_message_append(reply, "s", look_.label.c_str());
  }
  // The names stay empty: hosts prefer a themed icon's name to the pixmap, and there is none.
  return sd_bus_message_append(reply, "s", "");
}

int StatusNotifierItem::menuPropertyOf(std::string_view property, sd_bus_message *reply) {
  if (property == "Version") {
    return sd_bus_message_append(reply, "u", kMenuVersion);
  }
  if (property == "IconThemePath") {
    return sd_bus_message_append(reply, "as", 0);
  }
  return sd_bus_message_append(reply, "s", property == "Status" ? "normal" : "ltr");
}

std::vector<StatusNotifierItem::Item> StatusNotifierItem::items() const {
  std::vector<Item> items;
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    items.push_back({kFirstRowId + std::int32_t(i), rows_[i].empty(), false, rows_[i]});
  }
  items.push_back({kActionsSeparatorId, true, true, ""});
  items.push_back({kOpenDetailsId, false, true, "Open details"});
  items.push_back({kQuitId, false, true, "Quit"});
  return items;
}

bool StatusNotifierItem::refreshRows() {
  std::vector<std::string> rows = hooks_.freshRows();
  if (rows == rows_) {
    return false;
  }
  rows_ = std::move(rows);
  ++revision_;
  return true;
}

int StatusNotifierItem::getLayout(sd_bus_message *call) {
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

int StatusNotifierItem::getGroupProperties(sd_bus_message *call) {
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

int StatusNotifierItem::getProperty(sd_bus_message *call) {
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

bool StatusNotifierItem::handleClick(std::int32_t id) {
  if (id == kOpenDetailsId) {
    hooks_.openDetails();
  } else if (id == kQuitId) {
    quit_ = true;
  }
  const std::vector<Item> children = items();
  return std::any_of(children.begin(), children.end(),
                     [id](const Item &item) { return item.id == id; });
}

int StatusNotifierItem::event(sd_bus_message *call) {
  std::int32_t id = 0;
  const char *kind = nullptr;
  const int r = sd_bus_message_read(call, "is", &id, &kind);
  if (r < 0) {
    return r;
  }
  const bool known = std::string_view(kind) == "clicked" ? handleClick(id) : id >= kRootId;
  return known ? sd_bus_reply_method_return(call, "") : unknownItem(call, id);
}

int StatusNotifierItem::eventGroup(sd_bus_message *call) {
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

int StatusNotifierItem::aboutToShow(sd_bus_message *call) {
  std::int32_t id = 0;
  const int r = sd_bus_message_read(call, "i", &id);
  if (r < 0) {
    return r;
  }
  return sd_bus_reply_method_return(call, "b", int(id == kRootId && refreshRows()));
}

int StatusNotifierItem::aboutToShowGroup(sd_bus_message *call) {
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

void StatusNotifierItem::emit(const char *member, const char *types, const char *text) {
  int r = 0;
  if (types == nullptr) {
    r = sd_bus_emit_signal(bus_, kItemPath, kItemInterface, member, nullptr);
  } else if (std::string_view(types) == "s") {
    r = sd_bus_emit_signal(bus_, kItemPath, kItemInterface, member, "s", text);
  } else {
    r = sd_bus_emit_signal(bus_, kItemPath, kItemInterface, member, "ss", text, "");
  }
  if (r < 0) {
    hooks_.tell(failureText(std::string("cannot send ") + member, -r));
  }
}

void StatusNotifierItem::show(const TrayLook &look) {
  const bool iconChanged = icons_.update(look.icon);
  if (!shown_) {
    look_ = look;
    rows_ = look.rows;
    shown_ = true;
    // Only now, so that a tray never shows the item before it has something to show.
    registerWithWatcher();
    return;
  }
  if (iconChanged) {
    emit("NewIcon");
  }
  if (look.tooltip != look_.tooltip) {
    look_.tooltip = look.tooltip;
    emit("NewToolTip");
  }
  if (look.label != look_.label) {
    look_.label = look.label;
    emit("XAyatanaNewLabel", "ss", look.label.c_str());
  }
  if (look.needsAttention != look_.needsAttention) {
    look_.needsAttention = look.needsAttention;
    emit("NewStatus", "s", look.needsAttention ? "NeedsAttention" : "Active");
  }
  if (look.rows != rows_) {
    rows_ = look.rows;
    ++revision_;
    const int r = sd_bus_emit_signal(bus_, kMenuPath, kMenuInterface, "LayoutUpdated", "ui",
                                     revision_, kRootId);
    if (r < 0) {
      hooks_.tell(failureText("cannot send LayoutUpdated", -r));
    }
  }
  look_ = look;
}

int StatusNotifierItem::serve() {
  int r = 0;
  while (!quit_ && (r = sd_bus_process(bus_, nullptr)) > 0) {
  }
  if (r >= 0 && quit_) {
    // The answer to the click goes out before the item leaves the bus.
    sd_bus_flush(bus_);
    return -1;
  }
  if (r >= 0) {
    r = sd_bus_get_events(bus_);
  }
  if (r < 0) {
    busLost_ = true;
    hooks_.tell(failureText("lost the session bus", -r));
    return -1;
  }
  return r;
}

} // namespace quorbel
