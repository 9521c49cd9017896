#include "platform/dbus_connection.h"

namespace kestrova::platform {

std::string message_of(GError* error) {
  if (!error) return {};
  if (g_dbus_error_is_remote_error(error)) g_dbus_error_strip_remote_error(error);
  return error->message ? error->message : "";
}

ConnectionPtr connect_bus(GBusType type, std::string& failure) {
  const std::string bus = type == G_BUS_TYPE_SYSTEM ? "系统总线" : "会话总线";
  GError* raw_error = nullptr;
  GCharPtr address(g_dbus_address_get_for_bus_sync(type, nullptr, &raw_error));
  GErrorPtr address_error(raw_error);
  if (!address) {
    failure = "没有" + bus + ": " + message_of(address_error.get());
    return nullptr;
  }
  raw_error = nullptr;
  ConnectionPtr connection(g_dbus_connection_new_for_address_sync(
      address.get(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &raw_error));
  GErrorPtr connect_error(raw_error);
  if (!connection) failure = "无法连接" + bus + ": " + message_of(connect_error.get());
  return connection;
}

}  // namespace kestrova::platform
