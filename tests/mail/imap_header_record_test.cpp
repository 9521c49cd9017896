// Flattening fetched ENVELOPE and FLAGS items into header records. The structures are built
// by hand so that every member libetpan may leave NULL can be left NULL.
#include "mail/imap_header_record.h"

#include <libetpan/libetpan.h>

#include <deque>
#include <initializer_list>
#include <vector>

#include <gtest/gtest.h>

namespace kestrova::mail {
namespace {

char* text(const char* value) { return const_cast<char*>(value); }

// Owns the hand-built structures of a test; the functions under test only read them.
class Structures {
 public:
  ~Structures() {
    for (clist* list : lists_) clist_free(list);
  }

  mailimap_address* address(const char* personal, const char* mailbox, const char* host) {
    return &addresses_.emplace_back(
        mailimap_address{text(personal), nullptr, text(mailbox), text(host)});
  }

  template <typename T>
  clist* list(std::initializer_list<T*> items) {
    clist* list = clist_new();
    for (T* item : items) clist_append(list, item);
    lists_.push_back(list);
    return list;
  }

  mailimap_envelope* envelope(const char* subject, clist* from, clist* to, const char* date = nullptr,
                              const char* message_id = nullptr, const char* in_reply_to = nullptr) {
    mailimap_env_from* env_from = from ? &froms_.emplace_back(mailimap_env_from{from}) : nullptr;
    mailimap_env_to* env_to = to ? &tos_.emplace_back(mailimap_env_to{to}) : nullptr;
    mailimap_envelope& envelope = envelopes_.emplace_back();
    envelope.env_date = text(date);
    envelope.env_subject = text(subject);
    envelope.env_from = env_from;
    envelope.env_to = env_to;
    envelope.env_in_reply_to = text(in_reply_to);
    envelope.env_message_id = text(message_id);
    return &envelope;
  }

  mailimap_msg_att_item* envelope_item(mailimap_envelope* envelope) {
    mailimap_msg_att_static& item = statics_.emplace_back();
    item.att_type = MAILIMAP_MSG_ATT_ENVELOPE;
    item.att_data.att_env = envelope;
    return wrap(&item);
  }

  mailimap_msg_att_item* uid_item(uint32_t uid) {
    mailimap_msg_att_static& item = statics_.emplace_back();
    item.att_type = MAILIMAP_MSG_ATT_UID;
    item.att_data.att_uid = uid;
    return wrap(&item);
  }

  // A FLAGS item; flag types are MAILIMAP_FLAG_*; a null `flags` list is a NULL att_dyn.
  mailimap_msg_att_item* flags_item(std::initializer_list<int> types, bool null_dynamic = false) {
    std::vector<mailimap_flag_fetch*> fetched;
    for (int type : types) {
      mailimap_flag& flag = flags_.emplace_back(mailimap_flag{type, {nullptr}});
      fetched.push_back(&flag_fetches_.emplace_back(mailimap_flag_fetch{MAILIMAP_FLAG_FETCH_OTHER, &flag}));
    }
    // A \Recent flag and a flag-less entry, as a parser may leave them, count for nothing.
    fetched.push_back(&flag_fetches_.emplace_back(mailimap_flag_fetch{MAILIMAP_FLAG_FETCH_RECENT, nullptr}));
    fetched.push_back(&flag_fetches_.emplace_back(mailimap_flag_fetch{MAILIMAP_FLAG_FETCH_OTHER, nullptr}));
    clist* list = clist_new();
    for (auto* entry : fetched) clist_append(list, entry);
    lists_.push_back(list);
    mailimap_msg_att_dynamic* dynamic =
        null_dynamic ? nullptr : &dynamics_.emplace_back(mailimap_msg_att_dynamic{list});
    mailimap_msg_att_item& item = items_.emplace_back();
    item.att_type = MAILIMAP_MSG_ATT_ITEM_DYNAMIC;
    item.att_data.att_dyn = dynamic;
    return &item;
  }

  mailimap_msg_att* message(std::initializer_list<mailimap_msg_att_item*> items) {
    return &messages_.emplace_back(mailimap_msg_att{list(items), 0});
  }

 private:
  mailimap_msg_att_item* wrap(mailimap_msg_att_static* value) {
    mailimap_msg_att_item& item = items_.emplace_back();
    item.att_type = MAILIMAP_MSG_ATT_ITEM_STATIC;
    item.att_data.att_static = value;
    return &item;
  }

  std::vector<clist*> lists_;
  std::deque<mailimap_address> addresses_;
  std::deque<mailimap_env_from> froms_;
  std::deque<mailimap_env_to> tos_;
  std::deque<mailimap_envelope> envelopes_;
  std::deque<mailimap_msg_att_static> statics_;
  std::deque<mailimap_flag> flags_;
  std::deque<mailimap_flag_fetch> flag_fetches_;
  std::deque<mailimap_msg_att_dynamic> dynamics_;
  std::deque<mailimap_msg_att_item> items_;
  std::deque<mailimap_msg_att> messages_;
};

TEST(ImapHeaderRecord, FormatsAddressesInBothStyles) {
  Structures s;
  struct Case {
    const char *personal, *mailbox, *host, *bare, *with_name;
  };
  const Case cases[] = {
      {"Alice", "alice", "example.com", "alice@example.com", "Alice <alice@example.com>"},
      {nullptr, "bob", "example.com", "bob@example.com", "bob@example.com"},
      {nullptr, nullptr, "example.com", "example.com", "@example.com"},
      {"Team", "team", nullptr, "team", "Team <team>"},
      {"Only Name", nullptr, nullptr, "", "Only Name <>"},
      {"=?UTF-8?B?w4RiYw==?=", "x", "y.z", "x@y.z", "=?UTF-8?B?w4RiYw==?= <x@y.z>"},
      {nullptr, nullptr, nullptr, "", ""},
  };
  for (const Case& c : cases) {
    const mailimap_address* address = s.address(c.personal, c.mailbox, c.host);
    EXPECT_EQ(format_imap_address(address, ImapAddressStyle::Bare), c.bare);
    EXPECT_EQ(format_imap_address(address, ImapAddressStyle::WithDisplayName), c.with_name);
  }
  EXPECT_EQ(format_imap_address(nullptr, ImapAddressStyle::WithDisplayName), "");
}

TEST(ImapHeaderRecord, SingleFetchLetsLaterItemsOverwrite) {
  Structures s;
  clist* from = s.list<mailimap_address>({s.address("Alice", "alice", "example.com"),
                                          s.address(nullptr, "second", "example.com")});
  // The empty entry stands for the end marker of a group; it is skipped when joining.
  clist* to = s.list<mailimap_address>({s.address("Bob", "bob", "example.com"),
                                        s.address(nullptr, nullptr, nullptr),
                                        s.address(nullptr, "carol", "example.org")});
  mailimap_msg_att* first = s.message(
      {s.envelope_item(s.envelope("first", from, to, "Mon, 1 Jan 2024 10:00:00 +0000", "<a@x>")),
       s.flags_item({MAILIMAP_FLAG_SEEN})});
  mailimap_msg_att* second = s.message(
      {s.envelope_item(s.envelope("second", nullptr, s.list<mailimap_address>({}), nullptr,
                                  nullptr, "<parent@x>")),
       s.flags_item({MAILIMAP_FLAG_FLAGGED, MAILIMAP_FLAG_DELETED})});

  ImapHeaderRecord record;
  record.uid = 42;
  merge_into_header_record(record, first);
  EXPECT_EQ(record.from, "alice@example.com");
  EXPECT_EQ(record.to, "bob@example.com, carol@example.org");
  EXPECT_TRUE(record.seen);
  EXPECT_FALSE(record.flagged);

  merge_into_header_record(record, second);
  EXPECT_EQ(record.uid, 42u);
  EXPECT_EQ(record.subject, "second");
  EXPECT_EQ(record.from, "alice@example.com");  // absent later: the earlier value stays
  EXPECT_EQ(record.to, "bob@example.com, carol@example.org");
  EXPECT_EQ(record.date, "Mon, 1 Jan 2024 10:00:00 +0000");
  EXPECT_EQ(record.messageId, "<a@x>");
  EXPECT_EQ(record.inReplyTo, "<parent@x>");
  EXPECT_FALSE(record.seen);  // each FLAGS item replaces the flag state
  EXPECT_TRUE(record.flagged);

  // Missing pieces everywhere change nothing and crash nothing.
  const ImapHeaderRecord before = record;
  merge_into_header_record(record, nullptr);
  merge_into_header_record(record, s.message({}));
  merge_into_header_record(record, s.message({s.envelope_item(nullptr)}));
  mailimap_msg_att no_list{nullptr, 0};
  merge_into_header_record(record, &no_list);
  EXPECT_EQ(record, before);
  merge_into_header_record(record, s.message({s.flags_item({MAILIMAP_FLAG_SEEN}, true)}));
  EXPECT_FALSE(record.seen);
  EXPECT_FALSE(record.flagged);
}

TEST(ImapHeaderRecord, BatchRecordNeedsUidAndEnvelope) {
  Structures s;
  mailimap_envelope* envelope =
      s.envelope("Hello", s.list<mailimap_address>({s.address("Alice", "alice", "example.com")}),
                 s.list<mailimap_address>({s.address("Bob", "bob", "example.com")}), "date",
                 "<id@x>");
  const auto record = batch_header_record(
      s.message({s.flags_item({MAILIMAP_FLAG_SEEN, MAILIMAP_FLAG_FLAGGED}), s.uid_item(7),
                 s.envelope_item(envelope)}));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->uid, 7u);
  EXPECT_EQ(record->subject, "Hello");
  EXPECT_EQ(record->from, "Alice <alice@example.com>");
  EXPECT_EQ(record->to, "bob@example.com");
  EXPECT_EQ(record->date, "date");
  EXPECT_EQ(record->messageId, "<id@x>");
  EXPECT_FALSE(record->inReplyTo);
  EXPECT_TRUE(record->seen);
  EXPECT_TRUE(record->flagged);

  // An envelope with nothing in it still makes a record with the UID alone.
  const auto bare = batch_header_record(
      s.message({s.uid_item(9), s.envelope_item(s.envelope(nullptr, nullptr, nullptr))}));
  ASSERT_TRUE(bare);
  ImapHeaderRecord uid_only;
  uid_only.uid = 9;
  EXPECT_EQ(*bare, uid_only);

  EXPECT_FALSE(batch_header_record(s.message({s.envelope_item(envelope)})));
  EXPECT_FALSE(batch_header_record(s.message({s.uid_item(0), s.envelope_item(envelope)})));
  EXPECT_FALSE(batch_header_record(s.message({s.uid_item(3), s.envelope_item(nullptr)})));
  EXPECT_FALSE(batch_header_record(s.message({s.uid_item(3)})));
  EXPECT_FALSE(batch_header_record(nullptr));
}

}  // namespace
}  // namespace kestrova::mail
