#include "store/contact_store.h"

#include <gtest/gtest.h>

#include "mail_test_fixture.h"

namespace kestrova::store {
namespace {

using Source = StoredContact::Source;

using ContactStoreTest = testing::SmallStoreTest;

TEST_F(ContactStoreTest, LearnsEachAddressOfAMessageOnce) {
  ContactStore store(*db_, clock());
  EmailMessage received;
  received.from = {std::string("Bob"), "Bob@example.org"};
  received.to = {{std::nullopt, "me@example.org"}, {std::nullopt, "carol@example.org"}};
  received.cc = {{std::string("Carol"), "CAROL@example.org"}};
  ASSERT_TRUE(store.learn_from_received(received));
  EXPECT_EQ(store.contact("carol@example.org")->frequency, 1);  // To and Cc: one use
  EXPECT_EQ(store.contact("carol@example.org")->name, std::nullopt);
  EXPECT_EQ(store.contact("bob@example.org")->source, Source::received);

  EmailMessage sent;
  sent.to = {{std::nullopt, "dave@example.org"}};
  sent.bcc = {{std::nullopt, "bob@example.org"}};
  ASSERT_TRUE(store.learn_from_sent(sent));
  EXPECT_EQ(store.contact("dave@example.org")->source, Source::sent);
  EXPECT_EQ(store.contact("bob@example.org")->frequency, 2);
  // Most frequent first.
  EXPECT_EQ(store.recentContacts().front().email, "bob@example.org");
  EXPECT_EQ(store.recentContacts().size(), 4u);
}

TEST_F(ContactStoreTest, ImportAddsUnknownSendersOnly) {
  add_message("a", [](EmailMessage& m) { m.from = {std::nullopt, "News@Shop.example"}; });
  add_message("b", [](EmailMessage& m) {
    m.from = {std::string("Shop News"), "news@shop.example"};
  });
  add_message("c", [](EmailMessage& m) { m.from = {std::string("Known"), "known@example.org"}; });
  add_message("d", [](EmailMessage& m) { m.from = {std::string("Me"), "ME@example.org"}; });
  ContactStore store(*db_, clock());
  store.record(std::string("Kim"), "known@example.org", Source::sent);

  EXPECT_EQ(store.import_from_stored_mail(), 1);
  auto news = store.contact("news@shop.example");
  ASSERT_TRUE(news);
  EXPECT_EQ(news->name, "Shop News");
  EXPECT_EQ(news->frequency, 1);
  EXPECT_EQ(news->source, Source::received);
  auto known = store.contact("known@example.org");
  EXPECT_EQ(known->frequency, 1);
  EXPECT_EQ(known->name, "Kim");
  EXPECT_FALSE(store.contact("me@example.org"));  // the user's own account
  EXPECT_EQ(store.import_from_stored_mail(), 0);
}

}  // namespace
}  // namespace kestrova::store
