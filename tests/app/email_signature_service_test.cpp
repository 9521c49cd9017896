// Signatures: the seventeen designs rendered against reviewed golden files, and hostile
// content.
// KESTROVA_UPDATE_GOLDEN=1 rewrites the golden files; review the diff.

#include "app/core/writing/email_signature_service.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/core/writing/email_signature_templates.h"
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

TEST_F(SignatureTest, HostileContentRendersInBoundedWork) {
  // A megabyte on one line with many openings and no closing tag: every match call runs
  // out of its step budget instead of backtracking without end; the bare placeholder still goes.
  std::string hostile;
  while (hostile.size() < (1u << 20)) hostile += "<tr><td><div>{{phone}} x ";
  const std::string rendered = service_.render(signature(hostile, true), account());
  EXPECT_EQ(rendered.find("{{phone}}"), std::string::npos);
  EXPECT_FALSE(EmailSignatureService::htmlToPlainText(std::string(1 << 20, '<')).empty());
}

}  // namespace
}  // namespace kestrova::app
