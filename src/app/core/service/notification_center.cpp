#include "app/core/service/notification_center.h"

namespace kestrova::app {

NotificationCenter& NotificationCenter::shared() {
  static NotificationCenter* instance = new NotificationCenter;  // lives until exit
  return *instance;
}

int NotificationCenter::observe(std::string_view name, Observer observer) {
  std::lock_guard lock(mutex_);
  const int token = next_token_++;
  entries_.push_back(Entry{token, std::string(name), std::move(observer)});
  return token;
}

void NotificationCenter::remove_observer(int token) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [token](const Entry& entry) { return entry.token == token; });
}

void NotificationCenter::post(std::string_view name, const Json& payload) {
  // Observers run outside the lock so that they may observe or post themselves.
  std::vector<Observer> matching;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_)
      if (entry.name == name) matching.push_back(entry.observer);
  }
  for (const auto& observer : matching) observer(payload);
}

}  // namespace kestrova::app
