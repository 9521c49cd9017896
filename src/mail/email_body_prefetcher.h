#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "store/email_account.h"

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::mail {

class EmailService;

// Downloads the bodies of an account's recent messages before anyone opens them, so that
// reading, local body search and the tool server work offline. It is the body load that
// opening a message does, but with BODY.PEEK: a message stays unread on the server until the
// user opens it. Attachments stay on the server (their metadata is stored).
//
// Blocks on the network and the database: call it off the interface thread.
class EmailBodyPrefetcher {
 public:
  struct Window {
    int64_t days = 90;             // messages dated within the last `days`; 0: none
    uint64_t maxBytes = 5u << 20;  // larger messages wait for the on-demand load
  };
  struct Result {
    size_t wanted = 0;   // messages without a body in the window
    size_t stored = 0;   // bodies stored
    uint64_t bytes = 0;  // raw bytes downloaded
    size_t failedFolders = 0;
  };
  // Bodies stored so far out of those wanted.
  using Progress = std::function<void(size_t done, size_t total)>;

  EmailBodyPrefetcher(store::EmailDatabase& database, EmailService& service);

  // Newest first, folder by folder, one session per folder. A folder that fails is logged
  // and counted, and the others go on. Stops between batches once `stop` is set. Messages
  // found too large or gone from the server are not asked for again by this prefetcher.
  Result prefetch(const store::EmailAccount& account, const std::optional<std::string>& password,
                  const Window& window, const std::atomic<bool>& stop,
                  const Progress& progress = {});

 private:
  store::EmailDatabase& database_;
  EmailService& service_;
  std::set<std::string> passedOver_;  // message ids
};

}  // namespace kestrova::mail
