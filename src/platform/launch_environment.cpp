#include "platform/launch_environment.h"

#include <mutex>

extern char** environ;

namespace kestrova::platform {
namespace {

std::once_flag captured;
std::vector<std::string>* entries = nullptr;  // lives until exit

void capture() {
  std::call_once(captured, [] {
    entries = new std::vector<std::string>();
    for (char** e = environ; e && *e; ++e) entries->emplace_back(*e);
  });
}

}  // namespace

void captureLaunchEnvironment() { capture(); }

std::optional<std::string> launchEnvironmentValue(std::string_view name) {
  capture();
  for (const std::string& entry : *entries) {
    if (entry.size() > name.size() && entry[name.size()] == '=' &&
        std::string_view(entry).substr(0, name.size()) == name) {
      return entry.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

const std::vector<std::string>& launchEnvironment() {
  capture();
  return *entries;
}

}  // namespace kestrova::platform
