#include "support/fake_notification_server.h"

#include <mutex>
#include <optional>
#include <stdexcept>

#include "support/bus_service.h"

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
  mutable std::mutex mutex;
  std::vector<Call> calls;
  std::optional<std::string> rejection;
  uint32_t next_id = 1;
  std::unique_ptr<BusService> bus;  // last: its thread stops before the rest goes

  void emit(const char* signal, GVariant* parameters) { bus->emit(kInterface, signal, parameters); }

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

  void on_method_call(const std::string& name, GVariant* parameters,
                      GDBusMethodInvocation* invocation) {
    if (name == "Notify") return handle_notify(parameters, invocation);
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
      emit("NotificationClosed", g_variant_new("(uu)", id, 3u));
      return;
    }
    g_dbus_method_invocation_return_dbus_error(
        invocation, "org.freedesktop.DBus.Error.UnknownMethod", name.c_str());
  }
};

FakeNotificationServer::FakeNotificationServer(const std::string& bus_address)
    : impl_(std::make_unique<Impl>()) {
  try {
    impl_->bus = std::make_unique<BusService>(
        bus_address, kBusName, kObjectPath, kIntrospection,
        [impl = impl_.get()](const std::string& method, GVariant* parameters,
                             GDBusMethodInvocation* invocation) {
          impl->on_method_call(method, parameters, invocation);
        });
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(std::string("fake notification server: ") + e.what());
  }
}

FakeNotificationServer::~FakeNotificationServer() = default;

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

struct LauncherEntryListener::Impl {
  std::mutex mutex;
  std::vector<Update> updates;
  std::unique_ptr<BusService> bus;
};

LauncherEntryListener::LauncherEntryListener(const std::string& bus_address)
    : impl_(std::make_unique<Impl>()) {
  auto record = [impl = impl_.get()](GVariant* parameters) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv})"))) return;
    Update update;
    const gchar* uri = nullptr;
    GVariant* properties = nullptr;
    g_variant_get(parameters, "(&s@a{sv})", &uri, &properties);
    update.app_uri = uri;
    g_variant_lookup(properties, "count", "x", &update.count);
    gboolean visible = FALSE;
    g_variant_lookup(properties, "count-visible", "b", &visible);
    update.count_visible = visible;
    g_variant_unref(properties);
    std::lock_guard lock(impl->mutex);
    impl->updates.push_back(update);
  };
  impl_->bus = std::make_unique<BusService>(bus_address, "", "", nullptr, nullptr,
                                            "com.canonical.Unity.LauncherEntry", record);
}

LauncherEntryListener::~LauncherEntryListener() = default;

std::vector<LauncherEntryListener::Update> LauncherEntryListener::updates() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->updates;
}

}  // namespace kestrova::testing
