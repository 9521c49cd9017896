#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kestrova::testing {

// A stand-in for systemd-logind on a (private) bus used as the system bus: owns
// org.freedesktop.login1, answers Inhibit with the write end of a pipe whose read end it
// keeps, so that it can tell when the client has released the lock, and emits
// PrepareForSleep on request.
class FakeLogind {
 public:
  struct Inhibitor {
    std::string what, mode;
  };

  // Throws std::runtime_error when the name cannot be owned.
  explicit FakeLogind(const std::string& bus_address);
  ~FakeLogind();
  FakeLogind(const FakeLogind&) = delete;
  FakeLogind& operator=(const FakeLogind&) = delete;

  std::vector<Inhibitor> inhibitors() const;
  // How many of the locks handed out the client still holds (its descriptor is open).
  int held_locks() const;
  void emit_prepare_for_sleep(bool sleeping);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrova::testing
