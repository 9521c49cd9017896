// The kept original bytes of a message row: they survive every rewrite of the row and go
// with it when it is deleted, by itself or with its account.

#include "store/message_source.h"

#include <gtest/gtest.h>

#include "store_test_support.h"

namespace kestrova::testing {
namespace {

class MessageSourceTest : public StoreTest {
 protected:
  MessageSourceTest() {
    exec(
        "INSERT INTO email_accounts (id, email_address, display_name, service_type, imap_host, "
        "imap_port, imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, "
        "updated_at) VALUES ('A', 'a@example.org', 'A', '自定义', '', 993, 'ssl', '', 587, "
        "'ssl', 0, 0)");
    for (const char* id : {"M1", "M2"})
      exec(std::string("INSERT INTO email_messages (id, account_id, subject, from_email, date, "
                       "synced_at, updated_at) VALUES ('") +
           id + "', 'A', 's', 'f@example.org', 0, 0, 0)");
    db_->write([](store::Connection& c) {
      store::keep_message_source(c, "M1", std::string("raw\r\n\0one", 10));
      store::keep_message_source(c, "M2", "raw two");
      store::keep_message_source(c, "nobody", "no row, nothing kept");
    });
  }
  std::optional<std::string> kept(const char* id) {
    return db_->read([&](store::Connection& c) { return store::kept_message_source(c, id); });
  }
};

TEST_F(MessageSourceTest, BytesFollowTheirRow) {
  EXPECT_EQ(kept("M1"), std::string("raw\r\n\0one", 10));  // binary-safe
  EXPECT_FALSE(kept("nobody"));

  struct Step {
    const char* sql;
    bool m1, m2;  // kept afterwards
  };
  const Step steps[] = {
      {"UPDATE email_messages SET subject = 'changed', uid = 7 WHERE id = 'M1'", true, true},
      // The upsert of an existing id replaces the row in place.
      {"INSERT OR REPLACE INTO email_messages (id, account_id, subject, from_email, date, "
       "synced_at, updated_at) VALUES ('M1', 'A', 'again', 'f@example.org', 0, 0, 0)",
       true, true},
      {"DELETE FROM email_messages WHERE id = 'M2'", true, false},
      {"DELETE FROM email_accounts WHERE id = 'A'", false, false},
  };
  for (const auto& step : steps) {
    exec(step.sql);
    EXPECT_EQ(kept("M1").has_value(), step.m1) << step.sql;
    EXPECT_EQ(kept("M2").has_value(), step.m2) << step.sql;
  }
}

}  // namespace
}  // namespace kestrova::testing
