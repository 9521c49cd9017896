#include "platform/sleep_wake_notifier.h"

#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>

#include "platform/dbus_connection.h"
#include "util/log.h"

namespace kestrova::platform {

namespace {

constexpr std::string_view kComponent = "SleepWakeNotifier";
constexpr const char* kBusName = "org.freedesktop.login1";
constexpr const char* kObjectPath = "/org/freedesktop/login1";
constexpr const char* kInterface = "org.freedesktop.login1.Manager";
constexpr int kCallTimeoutMs = 5000;

// An inhibitor lock is held for as long as its file descriptor is open.
class InhibitorLock {
 public:
  InhibitorLock() = default;
  explicit InhibitorLock(int fd) : fd_(fd) {}
  InhibitorLock(InhibitorLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  InhibitorLock& operator=(InhibitorLock&& other) noexcept {
    release();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  ~InhibitorLock() { release(); }
  bool held() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Inhibit(what, who, why, mode) → the lock's descriptor. Nothing on failure (`failure` says why).
std::optional<InhibitorLock> inhibit(GDBusConnection* connection, const char* what, const char* why,
                                     const char* mode, std::string& failure) {
  GUnixFDList* raw_fds = nullptr;
  GError* raw_error = nullptr;
  VariantPtr reply(g_dbus_connection_call_with_unix_fd_list_sync(
      connection, kBusName, kObjectPath, kInterface, "Inhibit",
      g_variant_new("(ssss)", what, "Kestrova", why, mode), G_VARIANT_TYPE("(h)"),
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &raw_fds, nullptr, &raw_error));
  GErrorPtr error(raw_error);
  CHandle<GUnixFDList, &g_object_unref> fds(raw_fds);
  if (!reply) {
    failure = message_of(error.get());
    return std::nullopt;
  }
  gint32 index = -1;
  g_variant_get(reply.get(), "(h)", &index);
  raw_error = nullptr;
  const int fd = fds ? g_unix_fd_list_get(fds.get(), index, &raw_error) : -1;
  GErrorPtr fd_error(raw_error);
  if (fd < 0) {
    failure = fd_error ? message_of(fd_error.get()) : "logind 没有返回锁";
    return std::nullopt;
  }
  return InhibitorLock(fd);
}

}  // namespace

struct SleepWakeNotifier::State {
  SleepWakeNotifier* owner = nullptr;
  ConnectionPtr connection;
  guint subscription = 0;
  bool awake = true;
  InhibitorLock delay_lock;

  mutable std::mutex prevent_sleep_lock;  // guards the block lock
  InhibitorLock prevent_sleep;

  void take_delay_lock() {
    std::string failure;
    if (auto lock =
            inhibit(connection.get(), "sleep", "先断开邮件服务器的长连接", "delay", failure))
      delay_lock = std::move(*lock);
    else
      log_line(log_kind::kWarning, kComponent, "无法取得睡眠延迟锁: " + failure);
  }

  void prepare_for_sleep(bool sleeping) {
    if (sleeping) {
      log_line("💤", kComponent, "系统即将睡眠");
      awake = false;
      if (owner && owner->onSystemWillSleep) owner->onSystemWillSleep();
      delay_lock.release();  // the network services are paused: sleep may go on
    } else {
      log_line("☀️", kComponent, "系统已唤醒");
      awake = true;
      if (owner && owner->onSystemDidWake) owner->onSystemDidWake();
      take_delay_lock();
    }
  }
};

namespace {

void on_prepare_for_sleep(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                          GVariant* parameters, gpointer data) noexcept {
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
  gboolean sleeping = FALSE;
  g_variant_get(parameters, "(b)", &sleeping);
  try {
    static_cast<SleepWakeNotifier::State*>(data)->prepare_for_sleep(sleeping);
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("处理睡眠/唤醒失败: ") + e.what());
  }
}

}  // namespace

SleepWakeNotifier::SleepWakeNotifier() : state_(std::make_shared<State>()) { state_->owner = this; }

SleepWakeNotifier::~SleepWakeNotifier() {
  stopListening();
  endPreventingSleep();
}

void SleepWakeNotifier::startListening() {
  if (state_->connection) return;
  std::string failure;
  ConnectionPtr connection = connect_bus(G_BUS_TYPE_SYSTEM, failure);
  if (!connection) {
    log_line(log_kind::kWarning, kComponent, "无法监听系统睡眠/唤醒: " + failure);
    return;
  }
  // Without logind nobody sends PrepareForSleep: say so once instead of listening in vain.
  std::optional<InhibitorLock> lock =
      inhibit(connection.get(), "sleep", "先断开邮件服务器的长连接", "delay", failure);
  if (!lock) {
    log_line(log_kind::kWarning, kComponent, "无法监听系统睡眠/唤醒 (logind 不可用): " + failure);
    return;
  }
  state_->connection = std::move(connection);
  state_->delay_lock = std::move(*lock);
  // The callback runs on this thread's main context; the state outlives the subscription.
  state_->subscription = g_dbus_connection_signal_subscribe(
      state_->connection.get(), kBusName, kInterface, "PrepareForSleep", kObjectPath, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, on_prepare_for_sleep, state_.get(), nullptr);
  log_line(log_kind::kSuccess, kComponent, "系统睡眠/唤醒监听已启动");
}

void SleepWakeNotifier::stopListening() {
  if (!state_->connection) return;
  g_dbus_connection_signal_unsubscribe(state_->connection.get(), state_->subscription);
  state_->delay_lock.release();
  g_dbus_connection_close_sync(state_->connection.get(), nullptr, nullptr);
  state_->connection.reset();
}

bool SleepWakeNotifier::isSystemAwake() const { return state_->awake; }

void SleepWakeNotifier::beginPreventingSleep() {
  std::lock_guard lock(state_->prevent_sleep_lock);
  if (state_->prevent_sleep.held()) return;
  std::string failure = "没有系统总线";
  ConnectionPtr own;
  GDBusConnection* connection = state_->connection.get();
  if (!connection) {
    own = connect_bus(G_BUS_TYPE_SYSTEM, failure);
    connection = own.get();
  }
  std::optional<InhibitorLock> taken;
  if (connection) taken = inhibit(connection, "sleep:idle", "录音中", "block", failure);
  if (own) g_dbus_connection_close_sync(own.get(), nullptr, nullptr);
  if (!taken) {
    log_line(log_kind::kFailure, kComponent, "启用防睡眠断言失败: " + failure);
    return;
  }
  state_->prevent_sleep = std::move(*taken);
  log_line(log_kind::kSuccess, kComponent,
           "已启用防睡眠断言: " + std::to_string(state_->prevent_sleep.fd()));
}

void SleepWakeNotifier::endPreventingSleep() {
  std::lock_guard lock(state_->prevent_sleep_lock);
  if (!state_->prevent_sleep.held()) return;
  state_->prevent_sleep.release();
  log_line(log_kind::kSuccess, kComponent, "已禁用防睡眠断言");
}

bool SleepWakeNotifier::isPreventingSleep() const {
  std::lock_guard lock(state_->prevent_sleep_lock);
  return state_->prevent_sleep.held();
}

}  // namespace kestrova::platform
