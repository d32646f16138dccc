// A connection of its own to the session bus, for a thread that dispatches its messages itself (the portal's
// answers, KWin's reports): signals and calls on it run in the thread-default main context of the thread
// that opens it. Losing the bus must not end the program. Null without a session bus.
#pragma once

#include <gio/gio.h>

#include "platform/freedesktop/glib_ownership.h"

namespace tessaron::platform::wayland {

// The caller owns the connection it returns.
inline GDBusConnection* privateSessionBus() {
  const freedesktop::OwnedString address(
      g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
  if (!address) return nullptr;
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address.get(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (bus) g_dbus_connection_set_exit_on_close(bus, FALSE);
  return bus;
}

}  // namespace tessaron::platform::wayland
