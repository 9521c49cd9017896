#include "app/desktop/service_in_window.h"

#include <QAbstractEventDispatcher>
#include <QThread>

#include "app/core/service/mail_service_runner.h"
#include "util/log.h"

namespace kestrova::app::desktop {

namespace {

constexpr std::string_view kComponent = "Window";

// Whether Qt's loop on this thread iterates GLib's default context, which the service's
// thread would then have to share.
bool event_loop_is_glib() {
  const auto* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread());
  return dispatcher && dispatcher->inherits("QEventDispatcherGlib");
}

}  // namespace

ServiceInWindow::ServiceInWindow() = default;

ServiceInWindow::~ServiceInWindow() { stop(); }

ServiceInWindow::State ServiceInWindow::take_if_free() {
  if (work_) return state_;
  if (event_loop_is_glib()) {
    log_line(log_kind::kWarning, kComponent, "窗口的事件循环使用 GLib，无法在窗口中运行后台服务");
    return state_ = State::off;
  }
  std::optional<int> holder;
  bool unopenable = false;
  auto lock = [&]() -> std::optional<ServiceLock> {
    try {
      return ServiceLock::take(&holder);
    } catch (const std::exception& e) {
      log_line(log_kind::kFailure, kComponent, e.what());
      unopenable = true;
      return std::nullopt;
    }
  }();
  if (unopenable) return state_ = State::off;
  if (!lock) {
    if (state_ != State::serviceWorks)
      log_line(log_kind::kConnection, kComponent,
               "后台服务由另一个进程运行" +
                   (holder && *holder > 0 ? " (pid " + std::to_string(*holder) + ")" : ""));
    holder_ = holder && *holder > 0 ? holder : std::nullopt;
    return state_ = State::serviceWorks;
  }
  holder_.reset();
  work_ = BackgroundMailService::start(std::move(*lock));
  if (!work_) return state_ = State::off;
  log_line(log_kind::kSuccess, kComponent, "没有运行中的 kestrova run：窗口接收邮件");
  return state_ = State::windowWorks;
}

void ServiceInWindow::stop() {
  if (!work_) return;
  work_.reset();
  state_ = State::off;
  log_line(log_kind::kConnection, kComponent, "窗口停止了后台服务");
}

}  // namespace kestrova::app::desktop
