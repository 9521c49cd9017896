#include "support/bus_service.h"

#include <future>
#include <stdexcept>

namespace kestrova::testing {

struct BusService::Impl {
  std::string address, bus_name, object_path;
  const char* introspection = nullptr;
  MethodHandler handler;
  std::string signal_interface;
  SignalHandler on_signal;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  GDBusConnection* connection = nullptr;
  std::thread thread;

  static void on_method_call(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                             const gchar* method, GVariant* parameters,
                             GDBusMethodInvocation* invocation, gpointer data) {
    static_cast<Impl*>(data)->handler(method, parameters, invocation);
  }

  // Runs on the service thread: connect, export the object, take the name, then serve.
  void serve(std::promise<std::string>& started) {
    g_main_context_push_thread_default(context);
    GError* error = nullptr;
    connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    std::string failure;
    if (connection && !bus_name.empty()) {
      GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(introspection, nullptr);
      static const GDBusInterfaceVTable vtable = {on_method_call, nullptr, nullptr, {}};
      g_dbus_connection_register_object(connection, object_path.c_str(), node->interfaces[0],
                                        &vtable, this, nullptr, &error);
      g_dbus_node_info_unref(node);
      if (!error) {
        // DO_NOT_QUEUE (4): either we are the owner now or we fail.
        GVariant* reply = g_dbus_connection_call_sync(
            connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", bus_name.c_str(), 4u), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        if (reply) {
          guint32 result = 0;
          g_variant_get(reply, "(u)", &result);
          g_variant_unref(reply);
          if (result != 1) failure = bus_name + " is already owned";
        }
      }
    }
    if (connection && on_signal) {
      g_dbus_connection_signal_subscribe(
          connection, nullptr, signal_interface.c_str(), nullptr, nullptr, nullptr,
          G_DBUS_SIGNAL_FLAGS_NONE,
          [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
             GVariant* parameters,
             gpointer data) { static_cast<Impl*>(data)->on_signal(parameters); },
          this, nullptr);
    }
    if (error) {
      failure = error->message;
      g_error_free(error);
    }
    started.set_value(failure);
    if (failure.empty()) g_main_loop_run(loop);
    g_main_context_pop_thread_default(context);
  }
};

BusService::BusService(const std::string& bus_address, const std::string& bus_name,
                       const std::string& object_path, const char* introspection,
                       MethodHandler handler, const std::string& signal_interface,
                       SignalHandler on_signal)
    : impl_(std::make_unique<Impl>()) {
  impl_->signal_interface = signal_interface;
  impl_->on_signal = std::move(on_signal);
  impl_->address = bus_address;
  impl_->bus_name = bus_name;
  impl_->object_path = object_path;
  impl_->introspection = introspection;
  impl_->handler = std::move(handler);
  impl_->context = g_main_context_new();
  impl_->loop = g_main_loop_new(impl_->context, FALSE);
  std::promise<std::string> started;
  auto result = started.get_future();
  impl_->thread = std::thread([this, &started] { impl_->serve(started); });
  const std::string failure = result.get();
  if (!failure.empty()) {
    impl_->thread.join();
    if (impl_->connection) g_object_unref(impl_->connection);
    g_main_loop_unref(impl_->loop);
    g_main_context_unref(impl_->context);
    throw std::runtime_error("bus service " + bus_name + ": " + failure);
  }
}

BusService::~BusService() {
  g_main_context_invoke(
      impl_->context,
      [](gpointer loop) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      impl_->loop);
  impl_->thread.join();
  g_dbus_connection_close_sync(impl_->connection, nullptr, nullptr);
  g_object_unref(impl_->connection);
  g_main_loop_unref(impl_->loop);
  g_main_context_unref(impl_->context);
}

void BusService::emit(const std::string& interface, const std::string& signal,
                      GVariant* parameters) {
  g_dbus_connection_emit_signal(impl_->connection, nullptr, impl_->object_path.c_str(),
                                interface.c_str(), signal.c_str(), parameters, nullptr);
  g_dbus_connection_flush_sync(impl_->connection, nullptr, nullptr);
}

}  // namespace kestrova::testing
