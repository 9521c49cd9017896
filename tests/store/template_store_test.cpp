#include "store/template_store.h"

#include <gtest/gtest.h>

#include "store_test_support.h"

namespace kestrova::store {
namespace {

class TemplateStoreTest : public testing::StoreTest {
 protected:
  std::function<double()> clock() {
    return [this] { return now_; };
  }
  int64_t rows() {
    return db_->read([](Connection& c) {
      auto s = c.prepare("SELECT COUNT(*) FROM email_templates");
      s.step();
      return s.integer(0).value_or(-1);
    });
  }
  double now_ = 1'700'000'000;
};

TEST_F(TemplateStoreTest, EmptyTableIsSeededWithTheFourDefaultsOnce) {
  TemplateStore store(*db_, clock());
  ASSERT_EQ(store.templates().size(), 4u);
  for (const auto& entry : store.templates()) {
    EXPECT_FALSE(entry.body.empty());
    EXPECT_EQ(entry.body.find("template."), std::string::npos);  // a text, not a key
    EXPECT_EQ(entry.usageCount, 0);
    EXPECT_EQ(entry.createdAt, now_);
    EXPECT_EQ(entry.htmlBody, std::nullopt);
  }
  EXPECT_EQ(rows(), 4);
  EXPECT_EQ(TemplateStore(*db_, clock()).templates().size(), 4u);
  EXPECT_EQ(rows(), 4);
}

TEST_F(TemplateStoreTest, UseSearchAndCategories) {
  TemplateStore store(*db_, clock());
  EmailTemplate mine;
  mine.name = "Quarterly REPORT";
  mine.body = "Attached.";
  mine.category = EmailTemplate::Category::business;
  mine.shortcut = "qr";
  auto added = store.add(mine);
  ASSERT_TRUE(added);
  EXPECT_EQ(store.templates().back(), *added);

  now_ += 50;
  ASSERT_TRUE(store.record_use(added->id));
  ASSERT_TRUE(store.record_use(added->id));
  TemplateStore reopened(*db_, clock());
  EXPECT_EQ(reopened.templates().front().id, added->id);  // most used first
  EXPECT_EQ(reopened.templates().front().usageCount, 2);
  EXPECT_EQ(reopened.templates().front().shortcut, "qr");

  auto found = reopened.search("report");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].name, "Quarterly REPORT");
  EXPECT_EQ(reopened.search("").size(), 5u);
  EXPECT_EQ(reopened.templates_in(EmailTemplate::Category::business).size(), 2u);
  EXPECT_EQ(reopened.templates_in(EmailTemplate::Category::personal).size(), 0u);

  EmailTemplate edited = reopened.templates().front();
  edited.body = "See attachment.";
  ASSERT_TRUE(reopened.update(edited));
  EXPECT_EQ(TemplateStore(*db_, clock()).templates().front().body, "See attachment.");
}

}  // namespace
}  // namespace kestrova::store
