#include "platform/desktop_notifier.h"

#include <atomic>
#include <mutex>
#include <set>

#include "platform/dbus_connection.h"
#include "util/log.h"

namespace kestrova::platform {

namespace {

constexpr std::string_view kComponent = "DesktopNotifier";
constexpr const char* kBusName = "org.freedesktop.Notifications";
constexpr const char* kObjectPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
// Ties notifications to kestrova.desktop (icon, per-application settings of the desktop).
constexpr const char* kDesktopEntry = "kestrova";
// The freedesktop sound-naming name for newly arrived mail.
constexpr const char* kNewMailSound = "message-new-email";
constexpr int kCallTimeoutMs = 5000;
// Ids remembered for matching actions; servers that never report closing would otherwise
// make the set grow for as long as the program runs.
constexpr size_t kMaxRememberedIds = 1024;

// Errors that mean "nobody here shows notifications" rather than "the server refused".
bool means_unavailable(const GError* error) {
  if (error->domain == G_DBUS_ERROR) {
    switch (error->code) {
      case G_DBUS_ERROR_SERVICE_UNKNOWN:
      case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
      case G_DBUS_ERROR_NO_REPLY:
      case G_DBUS_ERROR_TIMEOUT:
      case G_DBUS_ERROR_TIMED_OUT:
      case G_DBUS_ERROR_DISCONNECTED:
      case G_DBUS_ERROR_NO_SERVER:
      case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
      case G_DBUS_ERROR_SPAWN_FORK_FAILED:
      case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
      case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
      case G_DBUS_ERROR_SPAWN_FAILED:
      case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
      case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        return true;
      default:
        return false;
    }
  }
  return error->domain == G_IO_ERROR &&
         (error->code == G_IO_ERROR_CLOSED || error->code == G_IO_ERROR_TIMED_OUT);
}

}  // namespace

struct DesktopNotifier::State {
  ConnectionPtr connection;  // null when the session bus could not be reached
  std::string connect_failure;
  std::atomic<bool> warned{false};
  guint action_subscription = 0;
  guint closed_subscription = 0;

  std::mutex mutex;  // guards the two fields below
  ActionHandler handler;
  std::set<uint32_t> posted_ids;

  void warn_once(const std::string& reason) {
    if (warned.exchange(true)) return;
    log_line(log_kind::kWarning, kComponent, "无法发送桌面通知，之后将不再提示: " + reason);
  }

  void remember(uint32_t id) {
    std::lock_guard lock(mutex);
    posted_ids.insert(id);
    if (posted_ids.size() > kMaxRememberedIds) posted_ids.erase(posted_ids.begin());
  }
};

namespace {

using StateBox = std::weak_ptr<DesktopNotifier::State>;

void free_state_box(gpointer data) { delete static_cast<StateBox*>(data); }

// GDBus signal trampolines: noexcept, and a handler's exception stays here.
void on_action_invoked(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer data) noexcept {
  auto state = static_cast<StateBox*>(data)->lock();
  if (!state || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) return;
  guint32 id = 0;
  const gchar* action_key = nullptr;
  g_variant_get(parameters, "(u&s)", &id, &action_key);
  DesktopNotifier::ActionHandler handler;
  {
    std::lock_guard lock(state->mutex);
    if (!state->posted_ids.contains(id)) return;  // another application's notification
    handler = state->handler;
  }
  if (!handler) return;
  try {
    handler(id, action_key);
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("处理通知操作失败: ") + e.what());
  } catch (...) {
    log_line(log_kind::kFailure, kComponent, "处理通知操作失败");
  }
}

void on_notification_closed(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                            const gchar*, GVariant* parameters, gpointer data) noexcept {
  auto state = static_cast<StateBox*>(data)->lock();
  if (!state || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) return;
  guint32 id = 0, reason = 0;
  g_variant_get(parameters, "(uu)", &id, &reason);
  std::lock_guard lock(state->mutex);
  state->posted_ids.erase(id);
}

guint subscribe(GDBusConnection* connection, const char* member, GDBusSignalCallback callback,
                const std::shared_ptr<DesktopNotifier::State>& state) {
  return g_dbus_connection_signal_subscribe(connection, kBusName, kInterface, member, kObjectPath,
                                            nullptr, G_DBUS_SIGNAL_FLAGS_NONE, callback,
                                            new StateBox(state), free_state_box);
}

}  // namespace

DesktopNotifier::DesktopNotifier() : state_(std::make_shared<State>()) {
  state_->connection = connect_bus(G_BUS_TYPE_SESSION, state_->connect_failure);
  if (!state_->connection) return;
  state_->action_subscription =
      subscribe(state_->connection.get(), "ActionInvoked", on_action_invoked, state_);
  state_->closed_subscription =
      subscribe(state_->connection.get(), "NotificationClosed", on_notification_closed, state_);
}

DesktopNotifier::~DesktopNotifier() {
  GDBusConnection* connection = state_->connection.get();
  if (!connection) return;
  g_dbus_connection_signal_unsubscribe(connection, state_->action_subscription);
  g_dbus_connection_signal_unsubscribe(connection, state_->closed_subscription);
  g_dbus_connection_close(connection, nullptr, nullptr, nullptr);
}

void DesktopNotifier::set_action_handler(ActionHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->handler = std::move(handler);
}

std::optional<uint32_t> DesktopNotifier::post(const DesktopNotification& notification) {
  GDBusConnection* connection = state_->connection.get();
  if (!connection) {
    state_->warn_once(state_->connect_failure);
    return std::nullopt;
  }

  GVariantBuilder actions;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  for (const auto& [key, label] : notification.actions) {
    g_variant_builder_add(&actions, "s", key.c_str());
    g_variant_builder_add(&actions, "s", label.c_str());
  }
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(kDesktopEntry));
  if (notification.category)
    g_variant_builder_add(&hints, "{sv}", "category",
                          g_variant_new_string(notification.category->c_str()));
  switch (notification.sound) {
    case NotificationSound::Default:
      g_variant_builder_add(&hints, "{sv}", "sound-name", g_variant_new_string(kNewMailSound));
      break;
    case NotificationSound::None:
      g_variant_builder_add(&hints, "{sv}", "suppress-sound", g_variant_new_boolean(TRUE));
      break;
  }
  const std::string app_name(kApplicationName);
  GVariant* parameters = g_variant_new("(susssasa{sv}i)", app_name.c_str(), guint32{0}, "",
                                       notification.title.c_str(), notification.body.c_str(),
                                       &actions, &hints, gint32{notification.expire_timeout_ms});

  GError* raw_error = nullptr;
  VariantPtr reply(g_dbus_connection_call_sync(
      connection, kBusName, kObjectPath, kInterface, "Notify", parameters, G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &raw_error));
  GErrorPtr error(raw_error);
  if (!reply) {
    if (means_unavailable(error.get())) {
      state_->warn_once("通知服务不可用: " + message_of(error.get()));
      return std::nullopt;
    }
    throw DesktopNotifierError(message_of(error.get()));
  }
  guint32 id = 0;
  g_variant_get(reply.get(), "(u)", &id);
  state_->remember(id);
  return id;
}

}  // namespace kestrova::platform
