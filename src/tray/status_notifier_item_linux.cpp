#include "tray/status_notifier_item_linux.hpp"

#include "platform/errno_text.hpp"

#include <systemd/sd-bus.h>

#include <cstring>
#include <unistd.h>
#include <utility>

namespace quorbel {
namespace {

constexpr const char *kItemPath = "/StatusNotifierItem";
constexpr const char *kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char *kWatcher = "org.kde.StatusNotifierWatcher";
constexpr const char *kWatcherPath = "/StatusNotifierWatcher";
constexpr const char *kTitle = "Claude usage";
constexpr const char *kItemId = "quorbel-tray";

StatusNotifierItem &itemOf(void *userdata) { return *static_cast<StatusNotifierItem *>(userdata); }

int itemProperty(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
                 void *userdata, sd_bus_error *) {
  return itemOf(userdata).propertyOf(property, reply);
}

int onActivate(sd_bus_message *call, void *userdata, sd_bus_error *) {
  itemOf(userdata).activate();
  return sd_bus_reply_method_return(call, "");
}

// Right clicks, middle clicks and scrolling have nothing to do here; the menu is the Menu property.
int onIgnored(sd_bus_message *call, void *, sd_bus_error *) {
  return sd_bus_reply_method_return(call, "");
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

} // namespace

StatusNotifierItem::StatusNotifierItem(Hooks hooks)
    : hooks_(std::move(hooks)), menu_({hooks_.openDetails, hooks_.freshRows}) {
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
    r = menu_.addTo(bus_, &slot);
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
    return sd_bus_message_append(reply, "o", DbusMenu::kPath);
  }
  if (property == "XAyatanaLabel") {
    return sd_bus_message_append(reply, "s", look_.label.c_str());
  }
  // The names stay empty: hosts prefer a themed icon's name to the pixmap, and there is none.
  return sd_bus_message_append(reply, "s", "");
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
    menu_.setRows(look.rows);
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
  if (menu_.changeRows(look.rows)) {
    const int r = menu_.announceLayout(bus_);
    if (r < 0) {
      hooks_.tell(failureText("cannot send LayoutUpdated", -r));
    }
  }
  look_ = look;
}

int StatusNotifierItem::serve() {
  int r = 0;
  while (!menu_.quitChosen() && (r = sd_bus_process(bus_, nullptr)) > 0) {
  }
  if (r >= 0 && menu_.quitChosen()) {
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
