#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/stored_contact.h"

namespace kestrova::store {

class Connection;
class EmailDatabase;
struct EmailContact;
struct EmailMessage;

// The address book learned from mail (the `contacts` table): address completion, sender
// profiles and trained sender categories read it. Keeps the most used contacts in memory
// (`recentContacts`) and writes every change through to the database at once.
//
// Addresses are keys after trimming and lower-casing, so "Ann@X.org " and "ann@x.org" are
// one contact. Database failures are logged and leave the in-memory list unchanged.
// Not thread-safe: call it on the main thread.
class ContactStore {
 public:
  using Clock = std::function<double()>;
  // How many contacts the in-memory list holds, most frequent first.
  static constexpr int kRecentLimit = 500;

  // Borrows `database` for the store's lifetime; loads the recent list at once.
  explicit ContactStore(EmailDatabase& database, Clock clock = {});

  // Most frequent first, then most recently used. Valid until the next call that changes it.
  const std::vector<StoredContact>& recentContacts() const { return recent_; }

  void load_recent();

  // Counts one use of an address: an existing contact gets frequency + 1, lastUsed = now
  // and the new name when one is given; an unknown address becomes a contact with frequency
  // 1 and `source`. A blank address is ignored. False when the database refused the write.
  bool record(const std::optional<std::string>& name, std::string_view email,
              StoredContact::Source source);
  // The sender and every to/cc address of a message that arrived.
  bool learn_from_received(const EmailMessage& message);
  // Every to/cc/bcc address of a message the user sent.
  bool learn_from_sent(const EmailMessage& message);

  // Adds the senders of stored mail that are not contacts yet, with source received and
  // frequency 1 (an import is one sighting, so imported senders rank below addresses the
  // user actually exchanged mail with). Skipped: addresses that are already contacts (their
  // counts and names stay as they are) and the addresses of the user's own accounts (mail
  // in the Sent folder has the user as sender). When one address appears with several
  // names, the first non-blank name is kept. Returns the number of contacts added.
  int import_from_stored_mail();

  // A blank query gives the recent list; otherwise the recent contacts whose address or
  // name contains the query, ignoring letter case, in list order.
  std::vector<StoredContact> search(std::string_view query) const;

  // The contact stored for an address (trimmed and lower-cased first), read from the
  // database so that contacts outside the recent list are found too.
  std::optional<StoredContact> contact(std::string_view email);

  // Sets or clears the category of an address and sets trainedAt = now. An address that is
  // not a contact yet becomes one with source manual. False on a blank address or a failed
  // write.
  bool set_category(std::string_view email, std::optional<SenderCategory> category);
  // Sets the note of an address; a blank note clears it. Creates the contact like
  // set_category when needed.
  bool set_note(std::string_view email, const std::optional<std::string>& note);

  // The address as stored: trimmed and lower-cased.
  static std::string normalized_address(std::string_view email);

 private:
  struct Use {
    std::optional<std::string> name;
    std::string email;  // normalised
  };

  static std::vector<Use> uses_of(std::initializer_list<const std::vector<EmailContact>*> lists);
  double now() const;
  StoredContact write_use(Connection& c, const Use& use, StoredContact::Source source, double now);
  bool record_all(const std::vector<Use>& uses, StoredContact::Source source);
  template <class Change>
  bool change_contact(std::string_view email, Change change);
  void remember(const StoredContact& contact);

  EmailDatabase& database_;
  Clock clock_;
  std::vector<StoredContact> recent_;
};

}  // namespace kestrova::store
