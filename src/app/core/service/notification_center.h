#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "util/json.h"

namespace kestrova::app {

// Names of the application-wide notifications.
namespace notification_name {
// Payload: the new value of `hideDockIcon` (a JSON bool).
inline constexpr std::string_view kHideDockIconPreferenceChanged = "hideDockIconPreferenceChanged";
// Payload: the opened link (EmailDeepLink::to_json()).
inline constexpr std::string_view kEmailDeepLinkOpened = "emailDeepLinkOpened";
}  // namespace notification_name

// In-process, application-wide notifications by name. post() calls every observer of the
// name synchronously on the posting thread, in the order they were added; code that must
// deliver on the main thread posts from there (platform::MainQueue::post). Observers may
// add or remove observers while being called. Thread-safe.
class NotificationCenter {
 public:
  static NotificationCenter& shared();

  using Observer = std::function<void(const Json& payload)>;

  // Returns a token for remove_observer.
  int observe(std::string_view name, Observer observer);
  void remove_observer(int token);
  void post(std::string_view name, const Json& payload = Json());

 private:
  struct Entry {
    int token;
    std::string name;
    Observer observer;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  int next_token_ = 1;
};

}  // namespace kestrova::app
