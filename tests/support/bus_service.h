#pragma once

// GLib plumbing shared by the tests' stand-ins for desktop services; included only by
// support sources.

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace kestrova::testing {

// One D-Bus object served from a thread of its own, under a well-known name on a bus (or,
// without a name and object, just a connection that listens to signals). Methods are
// answered by `handler` on that thread.
class BusService {
 public:
  using MethodHandler = std::function<void(const std::string& method, GVariant* parameters,
                                           GDBusMethodInvocation* invocation)>;
  // Called on the service thread for each signal matching the subscription.
  using SignalHandler = std::function<void(GVariant* parameters)>;

  // Returns once the name is owned; throws std::runtime_error otherwise. An empty
  // `bus_name` exports nothing. `on_signal`, when given, receives every signal of
  // `signal_interface` (any member, any sender).
  BusService(const std::string& bus_address, const std::string& bus_name,
             const std::string& object_path, const char* introspection, MethodHandler handler,
             const std::string& signal_interface = {}, SignalHandler on_signal = {});
  ~BusService();
  BusService(const BusService&) = delete;
  BusService& operator=(const BusService&) = delete;

  // Emits a signal from the object and flushes it.
  void emit(const std::string& interface, const std::string& signal, GVariant* parameters);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrova::testing
