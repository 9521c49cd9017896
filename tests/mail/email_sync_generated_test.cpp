// Synchronisation of generated mail (every shape the test generator writes) through the real
// Dovecot, in INBOX, a folder with a Chinese name and a nested folder: what a sync stores,
// what a body load decodes, and that moves and deletions reach the Maildir.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "email_sync_fixture.h"
#include "generated_message_checks.h"
#include "support/message_generator.h"
#include "util/text.h"
#include "util/uuid.h"

namespace kestrova::mail {
namespace {

using store::EmailFolder;
using store::EmailMessage;
using testing::GeneratedMessage;
using testing::MaildirMessage;

const std::vector<std::string> kFolders = {"INBOX", "项目", "Archive.2024"};

class EmailSyncGeneratedTest : public EmailSyncFixture {
 protected:
  void deliver(const std::string& folder, const std::vector<GeneratedMessage>& messages) {
    std::vector<MaildirMessage> files;
    for (const auto& m : messages) files.push_back({m.raw, {m.seen, m.flagged}, m.date});
    servers_.deliver_many(user_, folder, files);
  }

  // The stored messages of a folder by Message-ID, or by subject for those without; fails
  // the test when one is stored twice.
  std::map<std::string, EmailMessage> storedByKey(const EmailFolder& folder) {
    std::map<std::string, EmailMessage> byKey;
    for (auto& m : stored(folder)) {
      const std::string key = m.messageId.value_or("").empty() ? m.subject : *m.messageId;
      EXPECT_TRUE(byKey.emplace(key, std::move(m)).second) << "stored twice: " << key;
    }
    return byKey;
  }

  static std::string keyOf(const GeneratedMessage& m) {
    return m.messageId.empty() ? m.subject : m.messageId;
  }
};

TEST_F(EmailSyncGeneratedTest, SyncStoresHeadersFlagsAndThreadsAsWritten) {
  // Two rounds of every shape in each folder.
  const auto corpus = testing::generate_corpus(
      2024, static_cast<int>(2 * testing::generated_kinds().size() * kFolders.size()));
  std::map<std::string, std::vector<GeneratedMessage>> byFolder;
  for (size_t i = 0; i < corpus.size(); ++i)
    byFolder[kFolders[i % kFolders.size()]].push_back(corpus[i]);
  for (const auto& [folder, messages] : byFolder) deliver(folder, messages);
  std::map<std::string, const GeneratedMessage*> byId;
  for (const auto& m : corpus)
    if (!m.messageId.empty()) byId[m.messageId] = &m;

  const auto folders = syncFolders();
  for (const auto& path : kFolders) {
    SCOPED_TRACE(path);
    const EmailFolder folder = folderAt(path);
    const auto& generated = byFolder[path];
    const auto result = flow_.syncFolder(account_, password_, folder, std::nullopt, 500);
    EXPECT_EQ(result.newMessages.size(), generated.size());
    const auto byKey = storedByKey(folder);
    ASSERT_EQ(byKey.size(), generated.size());
    for (const auto& m : generated) {
      SCOPED_TRACE(m.kind + " " + keyOf(m));
      const auto found = byKey.find(keyOf(m));
      ASSERT_NE(found, byKey.end());
      const EmailMessage& s = found->second;
      EXPECT_EQ(s.subject, m.subject);
      EXPECT_EQ(s.from.name.value_or(""), m.fromName);
      EXPECT_EQ(s.from.email, m.fromEmail);
      std::vector<std::string> to;
      for (const auto& c : s.to) to.push_back(c.email);
      EXPECT_EQ(to, m.to);
      EXPECT_EQ(s.date, static_cast<double>(m.date));
      EXPECT_EQ(s.isRead, m.seen);
      EXPECT_EQ(s.isStarred, m.flagged);
      EXPECT_EQ(s.inReplyTo.value_or(""), m.inReplyTo);
      // A reply shares the conversation of the message it answers (wherever that is filed).
      const std::string rootSubject =
          m.inReplyTo.empty() ? m.subject : byId.at(m.inReplyTo)->subject;
      EXPECT_EQ(s.threadId.value_or(""), text::lower(rootSubject));
    }
  }
}

TEST_F(EmailSyncGeneratedTest, BodyLoadsDecodeEveryKind) {
  const auto corpus =
      testing::generate_corpus(77, static_cast<int>(testing::generated_kinds().size()));
  deliver("项目", corpus);
  const EmailFolder folder = folderAt("项目");
  const auto folders = syncFolders();
  flow_.syncFolder(account_, password_, folder, std::nullopt, 100);
  const auto byKey = storedByKey(folder);
  for (const auto& m : corpus) {
    SCOPED_TRACE(m.kind);
    const auto found = byKey.find(keyOf(m));
    ASSERT_NE(found, byKey.end());
    const EmailMessage& message = found->second;
    const EmailBodyContent content =
        service_.fetchMessageBody(account_, password_, message, folders);
    EXPECT_EQ(content.originalSize, static_cast<int64_t>(m.raw.size()));
    EXPECT_EQ(content.containsRemoteResources, m.kind == "html-only" || m.kind == "alternative");
    expect_decoded_as_generated(content, m, [&](const EmailAttachmentMeta& a) {
      return service_.downloadAttachment(account_, password_, message, a, folders);
    });
  }
}

TEST_F(EmailSyncGeneratedTest, MovesAndDeletionsReachTheMaildir) {
  const auto corpus =
      testing::generate_corpus(5150, static_cast<int>(testing::generated_kinds().size()));
  deliver("INBOX", corpus);
  deliver("Archive.2024", {testing::generate_message(5150, 100)});
  auto folders = syncFolders();
  const EmailFolder inbox = folderAt("INBOX");
  flow_.syncFolder(account_, password_, inbox, std::nullopt, 100);
  auto byKey = storedByKey(inbox);
  auto generatedOfKind = [&](const std::string& kind) {
    return *std::find_if(corpus.begin(), corpus.end(),
                         [&](const auto& m) { return m.kind == kind; });
  };
  const GeneratedMessage toArchive = generatedOfKind("gb2312");
  const GeneratedMessage toNewFolder = generatedOfKind("nested");
  const GeneratedMessage toDelete = generatedOfKind("no-message-id");

  service_.moveMessage(account_, password_, byKey.at(keyOf(toArchive)), folderAt("Archive.2024"),
                       folders);
  EmailFolder fresh;
  fresh.id = new_uuid();
  fresh.accountId = account_.id;
  fresh.name = fresh.path = "归档.2025";
  service_.moveMessage(account_, password_, byKey.at(keyOf(toNewFolder)), fresh, folders);
  service_.deleteMessage(account_, password_, byKey.at(keyOf(toDelete)), folders);

  // The server's files: the moved messages byte for byte in their new folders (flags kept),
  // gone from INBOX with the deleted one.
  auto contains = [](const std::vector<std::string>& raws, const std::string& raw) {
    return std::find(raws.begin(), raws.end(), raw) != raws.end();
  };
  const auto inboxFiles = servers_.stored_messages(user_, "INBOX");
  EXPECT_EQ(inboxFiles.size(), corpus.size() - 3);
  for (const auto* gone : {&toArchive, &toNewFolder, &toDelete})
    EXPECT_FALSE(contains(inboxFiles, gone->raw)) << gone->kind;
  const auto archiveFiles = servers_.stored_messages(user_, "Archive.2024");
  EXPECT_EQ(archiveFiles.size(), 2u);
  EXPECT_TRUE(contains(archiveFiles, toArchive.raw));
  EXPECT_EQ(servers_.stored_messages(user_, "归档.2025"),
            std::vector<std::string>{toNewFolder.raw});

  // A sync of the destinations finds them with their flags.
  for (const auto* moved : {&toArchive, &toNewFolder}) {
    const EmailFolder destination = folderAt(moved == &toArchive ? "Archive.2024" : "归档.2025");
    flow_.syncFolder(account_, password_, destination, std::nullopt, 100);
    const auto there = storedByKey(destination);
    ASSERT_TRUE(there.count(keyOf(*moved))) << moved->kind;
    EXPECT_EQ(there.at(keyOf(*moved)).isRead, moved->seen);
    EXPECT_EQ(there.at(keyOf(*moved)).isStarred, moved->flagged);
  }
}

}  // namespace
}  // namespace kestrova::mail
