#include "safety/sender_profile_service.h"

#include <gtest/gtest.h>

#include "safety/sender_category_service.h"
#include "store/json_list.h"
#include "store/mail_test_fixture.h"

namespace kestrova::safety {
namespace {

class SenderProfiles : public testing::SmallStoreTest {
 protected:
  SenderProfiles() : settings_(dir_.path() / "settings.json"), profiles_(*db_, settings_, clock()) {}

  struct Row {
    std::string from = "ann@example.org";
    std::string from_name;
    std::vector<store::EmailContact> to, cc;
    double age = 3600;  // seconds before now
    bool deleted = false, draft = false;
    std::optional<std::string> account;
  };
  std::string add(const std::string& subject, const Row& row) {
    const std::string id = new_uuid();
    db_->write([&](store::Connection& c) {
      c.prepare("INSERT INTO email_messages (id, account_id, folder_id, subject, from_name, from_email, "
                "to_contacts, cc_contacts, date, synced_at, updated_at, is_deleted, is_draft) VALUES "
                "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
          .bind_all(id, row.account.value_or(account_id_), inbox_id_, subject, row.from_name, row.from,
                    store::encode_contact_list(row.to), store::encode_contact_list(row.cc), now_ - row.age, now_,
                    now_, row.deleted, row.draft)
          .run();
    });
    return id;
  }
  void attach(const std::string& message, const std::string& name, bool inline_part = false) {
    db_->write([&](store::Connection& c) {
      c.prepare("INSERT INTO email_attachments (id, message_id, filename, mime_type, size, is_inline) VALUES "
                "(?, ?, ?, 'application/pdf', 1234, ?)")
          .bind_all(new_uuid(), message, name, inline_part)
          .run();
    });
  }
  std::string second_account() {
    const std::string id = new_uuid();
    db_->write([&](store::Connection& c) {
      c.prepare("INSERT INTO email_accounts (id, email_address, display_name, service_type, imap_host, imap_port, "
                "imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, updated_at) VALUES (?, "
                "'work@example.org', 'Work', '自定义', '', 993, 'ssl', '', 587, 'startTLS', 1, 1)")
          .bind_all(id)
          .run();
    });
    return id;
  }

  platform::SettingsStore settings_;
  SenderProfileService profiles_;
};

TEST_F(SenderProfiles, CountsMailFromAndToTheWholeAddress) {
  const store::EmailContact ann{std::nullopt, "Ann@Example.org"};
  const store::EmailContact joanne{std::nullopt, "joann@example.org"};  // "ann@example.org" is a suffix
  const store::EmailContact bob{std::string("Bob"), "bob@example.org"};
  const store::EmailContact me{std::nullopt, "me@example.org"};
  add("recent", {.from_name = "Ann L.", .to = {me, bob}, .age = 3600});
  const std::string old = add("old", {.from = "ANN@example.org", .from_name = "Ann Lee", .cc = {bob},
                                      .age = 40 * 86400});
  add("older", {.from_name = "Ann Lee", .to = {me}, .age = 50 * 86400});
  add("trashed", {.to = {me}, .age = 10, .deleted = true});
  add("to ann", {.from = "me@example.org", .to = {ann}, .age = 7200});
  add("draft to ann", {.from = "me@example.org", .to = {ann}, .age = 60, .draft = true});
  add("to joanne", {.from = "me@example.org", .to = {joanne}, .age = 30});
  add("cc ann", {.from = "me@example.org", .to = {bob}, .cc = {ann}, .age = 9000});
  add("busy", {.from = "busy@example.org"});
  add("busy 2", {.from = "busy@example.org"});
  add("busy 3", {.from = "busy@example.org"});
  attach(old, "invoice.pdf");
  attach(old, "logo.png", true);

  const SenderProfile p = profiles_.profile("  ANN@example.org ");
  EXPECT_EQ(p.email, "ann@example.org");
  EXPECT_EQ(p.totalReceived, 3);  // the trashed one never counts
  EXPECT_EQ(p.receivedLast30Days, 1);
  EXPECT_EQ(p.firstSeen, now_ - 50 * 86400);
  EXPECT_EQ(p.lastReceived, now_ - 3600);
  EXPECT_EQ(p.totalSent, 2);  // not the draft, not joanne's
  EXPECT_EQ(p.lastSent, now_ - 7200);
  EXPECT_EQ(p.frequencyRank, 1);  // busy@ ties with three; the user's own four do not rank
  EXPECT_EQ(p.displayName, "Ann Lee");  // the name used most
  ASSERT_EQ(p.recentMessages.size(), 5u);
  EXPECT_EQ(p.recentMessages[0].subject, "recent");
  EXPECT_FALSE(p.recentMessages[0].isSent);
  EXPECT_EQ(p.recentMessages[1].subject, "to ann");
  EXPECT_TRUE(p.recentMessages[1].isSent);
  EXPECT_EQ(p.recentMessages[1].folderId, inbox_id_);
  ASSERT_EQ(p.recentAttachments.size(), 1u);  // inline parts left out
  EXPECT_EQ(p.recentAttachments[0].filename, "invoice.pdf");
  EXPECT_EQ(p.recentAttachments[0].size, 1234);
  EXPECT_EQ(p.recentAttachments[0].messageSubject, "old");
  // The user's own address and the sender are not co-recipients.
  ASSERT_EQ(p.commonCoRecipients.size(), 1u);
  EXPECT_EQ(p.commonCoRecipients[0].email, "bob@example.org");
  EXPECT_EQ(p.commonCoRecipients[0].count, 2);
  EXPECT_EQ(p.commonCoRecipients[0].name, "Bob");
  EXPECT_FALSE(p.isVIP);
  EXPECT_EQ(p.category, std::nullopt);

  add("busy 4", {.from = "busy@example.org"});
  EXPECT_EQ(profiles_.profile("ann@example.org").frequencyRank, 2);

  const SenderProfile nobody = profiles_.profile("nobody@example.org");
  EXPECT_EQ(nobody.totalReceived, 0);
  EXPECT_EQ(nobody.totalSent, 0);
  EXPECT_EQ(nobody.firstSeen, std::nullopt);
  EXPECT_EQ(nobody.lastReceived, std::nullopt);
  EXPECT_EQ(nobody.lastSent, std::nullopt);
  EXPECT_EQ(nobody.frequencyRank, std::nullopt);
  EXPECT_EQ(nobody.displayName, std::nullopt);
  EXPECT_TRUE(nobody.recentMessages.empty());
  EXPECT_TRUE(nobody.commonCoRecipients.empty());
  const OrderedJson json = nobody.to_json();
  EXPECT_TRUE(json["firstSeen"].is_null());
  EXPECT_EQ(json.begin().key(), "email");
}

TEST_F(SenderProfiles, AnAccountLimitsEveryFigure) {
  const std::string work = second_account();
  const store::EmailContact ann{std::nullopt, "ann@example.org"};
  const store::EmailContact carol{std::string("Carol"), "carol@example.org"};
  add("home", {.to = {carol}});
  const std::string at_work = add("work", {.cc = {carol}, .account = work});
  add("work reply", {.from = "work@example.org", .to = {ann}, .account = work});
  attach(at_work, "plan.pdf");

  const SenderProfile all = profiles_.profile("ann@example.org");
  EXPECT_EQ(all.totalReceived, 2);
  EXPECT_EQ(all.commonCoRecipients.at(0).count, 2);
  const SenderProfile home = profiles_.profile("ann@example.org", account_id_);
  EXPECT_EQ(home.totalReceived, 1);
  EXPECT_EQ(home.totalSent, 0);
  EXPECT_TRUE(home.recentAttachments.empty());
  EXPECT_EQ(home.recentMessages.size(), 1u);
  EXPECT_EQ(home.commonCoRecipients.at(0).count, 1);
  const SenderProfile office = profiles_.profile("ann@example.org", work);
  EXPECT_EQ(office.totalSent, 1);
  EXPECT_EQ(office.recentAttachments.size(), 1u);
  EXPECT_EQ(office.recentMessages.size(), 2u);
}

TEST_F(SenderProfiles, TrainingShowsInTheProfileAndActsOnNewMail) {
  exec("INSERT INTO contacts (id, email, name, frequency, last_used, source, category, note) VALUES "
       "('6F9619FF-8B86-D011-B42D-00C04FC964FF', 'news@shop.example', 'Shop', 3, 1, 'received', 'newsletter', "
       "'deals'), ('7F9619FF-8B86-D011-B42D-00C04FC964FF', 'boss@corp.example', NULL, 1, 1, 'manual', 'vip', NULL), "
       "('8F9619FF-8B86-D011-B42D-00C04FC964FF', 'quiet@x.example', NULL, 1, 1, 'manual', 'lowPriority', NULL), "
       "('9F9619FF-8B86-D011-B42D-00C04FC964FF', 'plain@x.example', NULL, 1, 1, 'manual', NULL, NULL)");
  const SenderProfile shop = profiles_.profile("NEWS@shop.example");
  EXPECT_EQ(shop.category, store::SenderCategory::newsletter);
  EXPECT_EQ(shop.note, "deals");
  EXPECT_EQ(shop.displayName, "Shop");

  SenderCategoryService categories(*db_, settings_, clock());
  auto message = [&](const std::string& from) {
    store::EmailMessage m;
    m.id = new_uuid();
    m.from.email = from;
    m.updatedAt = 1;
    return m;
  };
  now_ += 50;
  auto news = message(" News@Shop.example ");
  ASSERT_TRUE(categories.apply(news));
  EXPECT_TRUE(news.isRead);
  EXPECT_EQ(news.tags, (std::vector<std::string>{"Newsletter"}));
  EXPECT_EQ(news.updatedAt, now_);
  ASSERT_TRUE(categories.apply(news));  // a second application adds no second tag
  EXPECT_EQ(news.tags, (std::vector<std::string>{"Newsletter"}));

  std::vector<store::EmailMessage> batch = {message("boss@corp.example"), message("quiet@x.example"),
                                            message("plain@x.example"), message(""), message("boss@corp.example")};
  const auto unchanged_plain = batch[2];
  categories.apply(batch);
  EXPECT_TRUE(batch[0].isImportant);
  EXPECT_FALSE(batch[0].isRead);
  EXPECT_TRUE(batch[0].tags.empty());
  EXPECT_TRUE(batch[1].isRead);
  EXPECT_FALSE(batch[1].isImportant);
  EXPECT_TRUE(batch[1].tags.empty());
  EXPECT_EQ(batch[2], unchanged_plain);
  EXPECT_EQ(batch[3].updatedAt, 1);
  // The VIP sender joined the list once, although two of its messages came in.
  EXPECT_EQ(settings_.string_list("emailVIPSenders"), (std::vector<std::string>{"boss@corp.example"}));
  EXPECT_TRUE(profiles_.profile("Boss@Corp.example").isVIP);
  settings_.set("emailVIPSenders", Json::array({"BOSS@corp.example"}));
  auto again = message("boss@corp.example");
  categories.apply(again);
  EXPECT_EQ(settings_.string_list("emailVIPSenders"), (std::vector<std::string>{"BOSS@corp.example"}));
}

}  // namespace
}  // namespace kestrova::safety
