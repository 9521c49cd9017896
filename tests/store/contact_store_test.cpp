#include "store/contact_store.h"

#include <gtest/gtest.h>

#include "mail_test_fixture.h"

namespace kestrova::store {
namespace {

using Source = StoredContact::Source;

using ContactStoreTest = testing::SmallStoreTest;

TEST_F(ContactStoreTest, OneAddressInTwoLetterCasesIsOneContact) {
  ContactStore store(*db_, clock());
  ASSERT_TRUE(store.record(std::string("Ann Lee"), "  Ann.Lee@Example.ORG ", Source::received));
  now_ += 60;
  ASSERT_TRUE(store.record(std::nullopt, "ann.lee@example.org", Source::sent));

  EXPECT_EQ(count("SELECT COUNT(*) FROM contacts"), 1);
  ContactStore reopened(*db_, clock());
  ASSERT_EQ(reopened.recentContacts().size(), 1u);
  const StoredContact& c = reopened.recentContacts()[0];
  EXPECT_EQ(c.email, "ann.lee@example.org");
  EXPECT_EQ(c.frequency, 2);
  EXPECT_EQ(c.lastUsed, now_);
  EXPECT_EQ(c.name, "Ann Lee");  // no new name given: the old one stays
  EXPECT_EQ(c.source, Source::received);
  EXPECT_EQ(store.recentContacts(), reopened.recentContacts());

  store.record(std::string("Ann"), "ANN.LEE@example.org", Source::sent);
  EXPECT_EQ(store.contact("ann.lee@example.org")->name, "Ann");
  EXPECT_TRUE(store.record(std::nullopt, "   ", Source::sent));
  EXPECT_EQ(count("SELECT COUNT(*) FROM contacts"), 1);
}

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

TEST_F(ContactStoreTest, SearchMatchesAddressOrNameIgnoringCase) {
  ContactStore store(*db_, clock());
  store.record(std::string("Zoë Müller"), "zm@example.org", Source::received);
  store.record(std::nullopt, "ops@muller.example", Source::received);
  store.record(std::nullopt, "other@example.org", Source::received);

  EXPECT_EQ(store.search("").size(), 3u);
  auto hits = store.search("MÜLLER");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].email, "zm@example.org");
  EXPECT_EQ(store.search("MULLER").size(), 1u);
  EXPECT_TRUE(store.search("nobody").empty());
}

TEST_F(ContactStoreTest, CategoryAndNoteAreKeptByLaterUses) {
  ContactStore store(*db_, clock());
  store.record(std::nullopt, "boss@example.org", Source::received);
  now_ += 100;
  ASSERT_TRUE(store.set_category(" BOSS@example.org", SenderCategory::vip));
  ASSERT_TRUE(store.set_note("boss@example.org", std::string("  answer within a day \n")));
  now_ += 100;
  store.record(std::nullopt, "boss@example.org", Source::received);

  auto boss = ContactStore(*db_, clock()).contact("boss@example.org");
  EXPECT_EQ(boss->category, SenderCategory::vip);
  EXPECT_EQ(boss->trainedAt, kStart + 100);
  EXPECT_EQ(boss->note, "answer within a day");
  EXPECT_EQ(boss->frequency, 2);

  ASSERT_TRUE(store.set_note("boss@example.org", std::string(" ")));
  EXPECT_EQ(store.contact("boss@example.org")->note, std::nullopt);

  // Training an address never seen creates it as a manual contact.
  ASSERT_TRUE(store.set_category("list@news.example", SenderCategory::newsletter));
  auto list = store.contact("list@news.example");
  EXPECT_EQ(list->source, Source::manual);
  EXPECT_EQ(list->category, SenderCategory::newsletter);
  EXPECT_FALSE(store.set_category("  ", SenderCategory::vip));
}

}  // namespace
}  // namespace kestrova::store
