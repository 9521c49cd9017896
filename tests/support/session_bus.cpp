#include "support/session_bus.h"

#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kestrova::testing {

std::optional<std::string> find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    const std::string candidate = folder + "/" + name;
    if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) previous_ = old;
  if (value)
    ::setenv(name_.c_str(), value->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
  if (previous_)
    ::setenv(name_.c_str(), previous_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

namespace {

constexpr const char* kBusConfig =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=@DIR@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// True once the Secret Service on `address` has a default collection (gnome-keyring has
// created and unlocked the login keyring).
bool default_collection_ready(const std::string& address) {
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (!bus) return false;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
      "ReadAlias", g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE,
      1000, nullptr, nullptr);
  bool ready = false;
  if (reply) {
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    ready = std::string_view(path) != "/";
    g_variant_unref(reply);
  }
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
  return ready;
}

}  // namespace

PrivateSessionBus::PrivateSessionBus() {
  const auto program = find_program("dbus-daemon");
  if (!program) throw std::runtime_error("dbus-daemon is not installed");
  const auto config = dir_.path() / "session.conf";
  std::string text = kBusConfig;
  text.replace(text.find("@DIR@"), 5, dir_.path().string());
  std::ofstream(config) << text;
  // --syslog-only keeps the daemon's complaints (fd limits and the like) off the test log.
  daemon_ = std::make_unique<ChildProcess>(
      *program, std::vector<std::string>{"--config-file=" + config.string(), "--nofork",
                                         "--print-address=1", "--syslog-only"});
  const auto line = daemon_->read_line(10000);
  if (!line || line->empty()) throw std::runtime_error("dbus-daemon did not report its address");
  address_ = *line;
}

PrivateSessionBus::~PrivateSessionBus() {
  keyring_.reset();  // ChildProcess kills and reaps its own pid
  daemon_.reset();
}

std::optional<std::string> PrivateSessionBus::start_keyring() {
  if (keyring_) return std::nullopt;
  const auto program = find_program("gnome-keyring-daemon");
  if (!program) return "gnome-keyring-daemon is not installed";
  const auto root = dir_.path() / "keyring";
  for (const char* sub : {"home", "data", "config", "cache", "runtime"}) {
    std::filesystem::create_directories(root / sub);
  }
  ::chmod((root / "runtime").c_str(), 0700);
  keyring_ = std::make_unique<ChildProcess>(
      *program, std::vector<std::string>{"--foreground", "--unlock", "--components=secrets"},
      std::vector<std::string>{
          "DBUS_SESSION_BUS_ADDRESS=" + address_,
          "HOME=" + (root / "home").string(),
          "XDG_DATA_HOME=" + (root / "data").string(),
          "XDG_CONFIG_HOME=" + (root / "config").string(),
          "XDG_CACHE_HOME=" + (root / "cache").string(),
          "XDG_RUNTIME_DIR=" + (root / "runtime").string(),
          "GNOME_KEYRING_CONTROL=" + (root / "runtime" / "keyring").string(),
      });
  // --unlock reads the login keyring's password from standard input: one empty line
  // creates the keyring unlocked with an empty password.
  keyring_->write("\n");
  keyring_->close_input();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    if (default_collection_ready(address_)) return std::nullopt;
    if (const int status = keyring_->wait(1); status != -1) {
      keyring_.reset();
      return "gnome-keyring-daemon exited with status " + std::to_string(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  keyring_.reset();
  return "gnome-keyring-daemon did not offer a default collection within 15 s";
}

PrivateSessionBus* PrivateSessionBus::shared(std::string* why) {
  static std::string failure;
  static std::unique_ptr<PrivateSessionBus> bus = [] {
    try {
      return std::make_unique<PrivateSessionBus>();
    } catch (const std::exception& e) {
      failure = e.what();
      return std::unique_ptr<PrivateSessionBus>();
    }
  }();
  if (!bus && why) *why = failure;
  return bus.get();
}

}  // namespace kestrova::testing
