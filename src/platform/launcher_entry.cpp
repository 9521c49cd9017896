#include "platform/launcher_entry.h"

#include <string>

#include "platform/dbus_connection.h"
#include "util/log.h"

namespace kestrova::platform {

struct LauncherEntry::State {
  ConnectionPtr connection;
  std::string failure;
  bool warned = false;
};

LauncherEntry::LauncherEntry() : state_(std::make_unique<State>()) {
  state_->connection = connect_bus(G_BUS_TYPE_SESSION, state_->failure);
}

LauncherEntry::~LauncherEntry() {
  if (state_->connection) g_dbus_connection_close_sync(state_->connection.get(), nullptr, nullptr);
}

void LauncherEntry::set_count(std::optional<int64_t> count) {
  auto warn = [this](const std::string& reason) {
    if (state_->warned) return;
    state_->warned = true;
    log_line(log_kind::kWarning, "LauncherEntry", "无法更新图标角标，之后将不再提示: " + reason);
  };
  if (!state_->connection) return warn(state_->failure);
  GVariantBuilder properties;
  g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&properties, "{sv}", "count", g_variant_new_int64(count.value_or(0)));
  g_variant_builder_add(&properties, "{sv}", "count-visible",
                        g_variant_new_boolean(count.has_value()));
  const std::string uri(kApplicationUri), path(kObjectPath);
  GError* raw_error = nullptr;
  // The signal goes out in the connection's order; flush so that it leaves now rather than
  // at the next turn of the main loop.
  if (!g_dbus_connection_emit_signal(
          state_->connection.get(), nullptr, path.c_str(), "com.canonical.Unity.LauncherEntry",
          "Update", g_variant_new("(sa{sv})", uri.c_str(), &properties), &raw_error) ||
      !g_dbus_connection_flush_sync(state_->connection.get(), nullptr, &raw_error)) {
    GErrorPtr error(raw_error);
    warn(message_of(error.get()));
  }
}

}  // namespace kestrova::platform
