#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/email_label.h"

namespace kestrova::store {

class EmailDatabase;

// User labels (`email_labels`) and their links to messages (`email_message_labels`). The
// in-memory list is kept in load order: most used first, then by name. Database failures
// are logged and leave the list unchanged. Not thread-safe: call it on the main thread.
class LabelStore {
 public:
  using Clock = std::function<double()>;

  // Borrows `database` for the store's lifetime; loads the labels at once.
  explicit LabelStore(EmailDatabase& database, Clock clock = {});

  // Valid until the next call that changes the list.
  const std::vector<EmailLabel>& labels() const { return labels_; }

  void load();
  // A new label with usage count 0; nothing on failure.
  std::optional<EmailLabel> create(std::string name, std::string color_hex = "#007AFF",
                                   std::string system_image = "tag.fill");
  // Writes name, colour and symbol (the usage count is the store's own).
  bool update(const EmailLabel& label);
  // Deletes the label and its links.
  bool remove(std::string_view id);

  // Links a label to a message. The usage count goes up only when the link is new, so
  // labelling a message twice neither adds a second link nor counts twice.
  bool add_to_message(std::string_view message_id, std::string_view label_id);
  // Unlinks; the usage count stays, as it records how often the label was applied.
  bool remove_from_message(std::string_view message_id, std::string_view label_id);
  // The labels of one message by name; empty on failure.
  std::vector<EmailLabel> labels_of_message(std::string_view message_id);

 private:
  void sort();

  EmailDatabase& database_;
  Clock clock_;
  std::vector<EmailLabel> labels_;
};

}  // namespace kestrova::store
