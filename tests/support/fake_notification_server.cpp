#include "support/fake_notification_server.h"

#include <gio/gio.h>

#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace kestrova::testing {

namespace {

constexpr const char* kBusName = "org.freedesktop.Notifications";
constexpr const char* kObjectPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

constexpr const char* kIntrospection = R"(<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
  </interface>
</node>)";

}  // namespace

struct FakeNotificationServer::Impl {
  std::string address;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  GDBusConnection* connection = nullptr;
  std::thread thread;

  mutable std::mutex mutex;
  std::vector<Call> calls;
  std::optional<std::string> rejection;
  uint32_t next_id = 1;

  void emit(const char* signal, GVariant* parameters) {
    g_dbus_connection_emit_signal(connection, nullptr, kObjectPath, kInterface, signal, parameters,
                                  nullptr);
    g_dbus_connection_flush_sync(connection, nullptr, nullptr);
  }

  void handle_notify(GVariant* parameters, GDBusMethodInvocation* invocation) {
    Call call;
    const gchar *app_name, *icon, *summary, *body;
    GVariantIter* actions = nullptr;
    GVariantIter* hints = nullptr;
    g_variant_get(parameters, "(&su&s&s&sasa{sv}i)", &app_name, &call.replaces_id, &icon, &summary,
                  &body, &actions, &hints, &call.expire_timeout);
    call.app_name = app_name;
    call.app_icon = icon;
    call.summary = summary;
    call.body = body;
    const gchar* action = nullptr;
    while (g_variant_iter_next(actions, "&s", &action)) call.actions.emplace_back(action);
    const gchar* key = nullptr;
    GVariant* value = nullptr;
    while (g_variant_iter_next(hints, "{&sv}", &key, &value)) {
      if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
        call.hints[key] = g_variant_get_string(value, nullptr);
      } else {
        gchar* text = g_variant_print(value, TRUE);
        call.hints[key] = text;
        g_free(text);
      }
      g_variant_unref(value);
    }
    g_variant_iter_free(actions);
    g_variant_iter_free(hints);

    std::unique_lock lock(mutex);
    if (rejection) {
      const std::string message = *rejection;
      rejection.reset();
      lock.unlock();
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.Notifications.Error",
                                                 message.c_str());
      return;
    }
    const uint32_t id = next_id++;
    calls.push_back(std::move(call));
    lock.unlock();
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", id));
  }

  static void on_method_call(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                             const gchar* method, GVariant* parameters,
                             GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    const std::string_view name(method);
    if (name == "Notify") return self->handle_notify(parameters, invocation);
    if (name == "GetCapabilities") {
      const gchar* capabilities[] = {"actions", "body", "sound", nullptr};
      return g_dbus_method_invocation_return_value(invocation,
                                                   g_variant_new("(^as)", capabilities));
    }
    if (name == "GetServerInformation") {
      return g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(ssss)", "FakeNotifications", "Kestrova tests", "1.0", "1.2"));
    }
    if (name == "CloseNotification") {
      guint32 id = 0;
      g_variant_get(parameters, "(u)", &id);
      g_dbus_method_invocation_return_value(invocation, nullptr);
      self->emit("NotificationClosed", g_variant_new("(uu)", id, 3u));
      return;
    }
    g_dbus_method_invocation_return_dbus_error(invocation,
                                               "org.freedesktop.DBus.Error.UnknownMethod", method);
  }

  // Runs on the server thread: connect, export the object, take the name, then serve.
  void serve(std::promise<std::string>& started) {
    g_main_context_push_thread_default(context);
    GError* error = nullptr;
    connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    std::string failure;
    if (connection) {
      GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
      static const GDBusInterfaceVTable vtable = {on_method_call, nullptr, nullptr, {}};
      g_dbus_connection_register_object(connection, kObjectPath, node->interfaces[0], &vtable, this,
                                        nullptr, &error);
      g_dbus_node_info_unref(node);
    }
    if (!error) {
      // DO_NOT_QUEUE (4): either we are the owner now or we fail.
      GVariant* reply = g_dbus_connection_call_sync(
          connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
          "RequestName", g_variant_new("(su)", kBusName, 4u), G_VARIANT_TYPE("(u)"),
          G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
      if (reply) {
        guint32 result = 0;
        g_variant_get(reply, "(u)", &result);
        g_variant_unref(reply);
        if (result != 1) failure = "org.freedesktop.Notifications is already owned";
      }
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

FakeNotificationServer::FakeNotificationServer(const std::string& bus_address)
    : impl_(std::make_unique<Impl>()) {
  impl_->address = bus_address;
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
    throw std::runtime_error("fake notification server: " + failure);
  }
}

FakeNotificationServer::~FakeNotificationServer() {
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

std::vector<FakeNotificationServer::Call> FakeNotificationServer::calls() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->calls;
}

void FakeNotificationServer::reject_next_notify(const std::string& message) {
  std::lock_guard lock(impl_->mutex);
  impl_->rejection = message;
}

void FakeNotificationServer::emit_action_invoked(uint32_t id, const std::string& action_key) {
  impl_->emit("ActionInvoked", g_variant_new("(us)", id, action_key.c_str()));
}

void FakeNotificationServer::emit_notification_closed(uint32_t id, uint32_t reason) {
  impl_->emit("NotificationClosed", g_variant_new("(uu)", id, reason));
}

}  // namespace kestrova::testing
