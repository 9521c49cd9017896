#pragma once

// GLib's D-Bus types for the platform's own sources; nothing outside platform/ includes this.

#include <gio/gio.h>

#include <string>

#include "util/c_free.h"

namespace kestrova::platform {

using GErrorPtr = CHandle<GError, &g_error_free>;
using GCharPtr = CHandle<gchar, &g_free>;
using VariantPtr = CHandle<GVariant, &g_variant_unref>;
using ConnectionPtr = CHandle<GDBusConnection, &g_object_unref>;

// A private connection to the session or system bus named by the environment
// (DBUS_SESSION_BUS_ADDRESS, DBUS_SYSTEM_BUS_ADDRESS) rather than GLib's shared one: its
// lifetime is ours, and losing the bus does not end the process. Null when the bus cannot
// be reached; `failure` then says why.
ConnectionPtr connect_bus(GBusType type, std::string& failure);

// The error's message without the remote error name GDBus puts in front.
std::string message_of(GError* error);

}  // namespace kestrova::platform
