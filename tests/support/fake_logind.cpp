#include "support/fake_logind.h"

#include <fcntl.h>
#include <gio/gunixfdlist.h>
#include <poll.h>
#include <unistd.h>

#include <mutex>

#include "support/bus_service.h"

namespace kestrova::testing {

namespace {

constexpr const char* kIntrospection = R"(<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="Inhibit">
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="h" direction="out"/>
    </method>
    <signal name="PrepareForSleep"><arg type="b"/></signal>
  </interface>
</node>)";

// True while someone still holds the write end of the pipe whose read end is `fd`.
bool writer_open(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, 0) == 0;
}

}  // namespace

struct FakeLogind::Impl {
  mutable std::mutex mutex;
  std::vector<Inhibitor> inhibitors;
  std::vector<int> read_ends;
  std::unique_ptr<BusService> bus;  // last: its thread stops before the rest goes

  void inhibit(GVariant* parameters, GDBusMethodInvocation* invocation) {
    const gchar *what, *who, *why, *mode;
    g_variant_get(parameters, "(&s&s&s&s)", &what, &who, &why, &mode);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed",
                                                 "pipe");
      return;
    }
    GUnixFDList* fds = g_unix_fd_list_new_from_array(&ends[1], 1);  // takes the write end
    {
      std::lock_guard lock(mutex);
      inhibitors.push_back({what, mode});
      read_ends.push_back(ends[0]);
    }
    g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0),
                                                            fds);
    g_object_unref(fds);  // the client has its own copy now; ours closes with the list
  }
};

FakeLogind::FakeLogind(const std::string& bus_address) : impl_(std::make_unique<Impl>()) {
  impl_->bus = std::make_unique<BusService>(
      bus_address, "org.freedesktop.login1", "/org/freedesktop/login1", kIntrospection,
      [impl = impl_.get()](const std::string& method, GVariant* parameters,
                           GDBusMethodInvocation* invocation) {
        if (method == "Inhibit") return impl->inhibit(parameters, invocation);
        g_dbus_method_invocation_return_dbus_error(
            invocation, "org.freedesktop.DBus.Error.UnknownMethod", method.c_str());
      });
}

FakeLogind::~FakeLogind() {
  impl_->bus.reset();
  for (int fd : impl_->read_ends) ::close(fd);
}

std::vector<FakeLogind::Inhibitor> FakeLogind::inhibitors() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->inhibitors;
}

int FakeLogind::held_locks() const {
  std::lock_guard lock(impl_->mutex);
  int held = 0;
  for (int fd : impl_->read_ends) held += writer_open(fd) ? 1 : 0;
  return held;
}

void FakeLogind::emit_prepare_for_sleep(bool sleeping) {
  impl_->bus->emit("org.freedesktop.login1.Manager", "PrepareForSleep",
                   g_variant_new("(b)", sleeping ? TRUE : FALSE));
}

}  // namespace kestrova::testing
