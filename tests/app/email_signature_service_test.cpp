// Signatures: the seventeen designs rendered against reviewed golden files, the placement
// rules of apply (above the quote, once), the storage rules, and hostile content.
// KESTROVA_UPDATE_GOLDEN=1 rewrites the golden files; review the diff.

#include "app/core/email_signature_service.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/core/email_signature_templates.h"
#include "store/database.h"
#include "support/test_support.h"

namespace kestrova::app {
namespace {

namespace fs = std::filesystem;

store::EmailAccount account() {
  store::EmailAccount a;
  a.id = "11111111-1111-1111-1111-111111111111";
  a.emailAddress = "alice@example.org";
  a.displayName = "Alice <Example>";
  return a;
}

store::EmailSignature signature(std::string content, bool html,
                                std::string id = "22222222-2222-2222-2222-222222222222") {
  return {std::move(id), account().id, "s", std::move(content), html, false, 0, 0};
}

class SignatureTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  std::unique_ptr<store::EmailDatabase> db_ = store::EmailDatabase::open(dir_.path() / "email.db");
  EmailSignatureService service_{*db_, [] { return 1796000000.0; }};
};

TEST_F(SignatureTest, SeventeenDesignsRenderAsReviewed) {
  // Title, company and website filled in; phone and address left empty, so their rows,
  // cells or divisions must be gone.
  const SignatureFieldValues values{
      {"title", "Engineer"}, {"company", "Acme & Co"}, {"website", "https://acme.example"}};
  const fs::path dir = fs::path(KESTROVA_SOURCE_DIR) / "tests/app/golden/signatures";
  const bool update = std::getenv("KESTROVA_UPDATE_GOLDEN") != nullptr;
  ASSERT_EQ(email_signature_templates().size(), 17u);
  for (const auto& design : email_signature_templates()) {
    SCOPED_TRACE(std::string(design.id));
    const auto s = signature(
        EmailSignatureService::fillValues(design.content, values, design.isHtml), design.isHtml);
    std::string rendered = service_.render(s, account());
    if (design.isHtml) rendered += "\n--- plain ---\n" + service_.plainText(s, account()) + "\n";
    const fs::path file = dir / (std::string(design.id) + (design.isHtml ? ".html" : ".txt"));
    if (update) std::ofstream(file, std::ios::binary) << rendered;
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(rendered,
              std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    EXPECT_EQ(rendered.find("{{"), std::string::npos);
    if (design.isHtml) {
      EXPECT_TRUE(design.content.starts_with("<br>\n<table")) << design.content.substr(0, 20);
      EXPECT_NE(design.content.find("max-width:100%"), std::string_view::npos);
    }
  }
}

TEST_F(SignatureTest, ApplyPutsTheSignatureAboveTheQuoteOnce) {
  const auto plain = signature("-- \n{{name}}", false);
  struct Case {
    const char* body;
    const char* expected;
  };
  const Case cases[] = {
      // No quote: appended.
      {"Hello", "Hello\n\n-- \nAlice <Example>"},
      // List order wins: "\n\nOn " before the earlier "\n\n> ".
      {"Hi\n\n> early\n\nOn Monday Bob wrote:\n> text",
       "Hi\n\n> early\n\n-- \nAlice <Example>\n\nOn Monday Bob wrote:\n> text"},
      // No marker: the first quoted line starts the tail.
      {"Hi\n> quoted", "Hi\n\n-- \nAlice <Example>\n\n> quoted"},
      // Already signed: unchanged.
      {"Hi\n\n-- \nAlice <Example>", "Hi\n\n-- \nAlice <Example>"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(service_.apply(plain, account(), c.body, std::nullopt, false).plain, c.expected);

  const auto html = signature("<div>{{name}}</div><tr><td>{{phone}}</td></tr>", true);
  auto once = service_.apply(html, account(), "Hi & bye\n\nOn Monday Bob wrote:\n> <b>",
                             std::nullopt, true);
  ASSERT_TRUE(once.html);
  EXPECT_EQ(*once.html,
            "Hi &amp; bye<br><br><!-- kestrova-signature:22222222-2222-2222-2222-222222222222 "
            "--><div>Alice "
            "&lt;Example&gt;</div><!-- /kestrova-signature:22222222-2222-2222-2222-222222222222 "
            "--><br><br><br><br>On "
            "Monday Bob wrote:<br>&gt; &lt;b&gt;");
  EXPECT_EQ(once.plain, "Hi & bye\n\nAlice <Example>\n\nOn Monday Bob wrote:\n> <b>");
  const auto twice = service_.apply(html, account(), once.plain, once.html, false);
  EXPECT_EQ(twice.html, once.html);
  EXPECT_EQ(EmailSignatureService::extractBlock(*once.html, html.id),
            "<div>Alice &lt;Example&gt;</div>");
  EXPECT_EQ(EmailSignatureService::removeAllBlocks(*once.html + "\n"),
            "Hi &amp; bye<br><br><br><br><br><br>On Monday Bob wrote:<br>&gt; &lt;b&gt;");
}

TEST_F(SignatureTest, HostileContentRendersInBoundedWork) {
  // A megabyte on one line with many openings and no closing tag: every match call runs
  // out of its step budget instead of backtracking without end; the bare placeholder still goes.
  std::string hostile;
  while (hostile.size() < (1u << 20)) hostile += "<tr><td><div>{{phone}} x ";
  const std::string rendered = service_.render(signature(hostile, true), account());
  EXPECT_EQ(rendered.find("{{phone}}"), std::string::npos);
  EXPECT_FALSE(EmailSignatureService::htmlToPlainText(std::string(1 << 20, '<')).empty());
}

TEST_F(SignatureTest, StorageKeepsOneDefaultPerAccountAndNeedsTheAccount) {
  auto s = signature("x", false);
  try {
    service_.save(s);
    FAIL() << "saved without an account";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "账号不存在，无法保存签名。请先添加邮箱账号。");
  }
  db_->write([](store::Connection& c) {
    for (const char* id :
         {"11111111-1111-1111-1111-111111111111", "33333333-3333-3333-3333-333333333333"})
      c.prepare(
           "INSERT INTO email_accounts (id, email_address, display_name, service_type, imap_host, "
           "imap_port, "
           "imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, updated_at) VALUES "
           "(?, ?, 'A', 'custom', 'h', 993, 'ssl', 'h', 465, 'ssl', 0, 0)")
          .bind_all(id, std::string(id) + "@example.org")
          .run();
  });
  auto other = signature("y", false, "44444444-4444-4444-4444-444444444444");
  other.accountId = "33333333-3333-3333-3333-333333333333";
  other.isDefault = true;
  auto second = signature("z", false, "55555555-5555-5555-5555-555555555555");
  for (const auto& each : {s, other, second}) service_.save(each);
  service_.setDefault(s.accountId, s.id);
  service_.setDefault(s.accountId, second.id);
  EXPECT_EQ(service_.defaultSignature(s.accountId)->id, second.id);
  EXPECT_EQ(service_.signatures(s.accountId).front().id, second.id);
  EXPECT_TRUE(service_.signature(other.id)->isDefault);  // the other account's stays
}

}  // namespace
}  // namespace kestrova::app
