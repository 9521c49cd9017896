// kestrova-generate-db: writes a large, realistic mail database for benchmarks, profiling
// and tests. The file is created through EmailDatabase::open, so the schema is exactly the
// one the program builds; rows go in with bound INSERTs inside one transaction.
//
// The output depends only on the flags: the same seed gives the same file content (ids,
// texts, dates and flags all come from one seeded generator, never from the clock).
//
// --demo makes the mailbox of `kestrova demo` instead: local-only accounts (no server is
// pretended), mail dated up to the moment of generation and denser in the last days, real
// attachment files (in Attachments/ beside the database), HTML-only newsletters and
// receipts, and a few written-out conversations. Apart from the dates it too depends only on
// the flags.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "demo_mail_content.h"
#include "platform/paths.h"
#include "store/database.h"
#include "store/email_enums.h"
#include "store/email_thread_service.h"
#include "util/html_text.h"
#include "util/json.h"
#include "util/text.h"

namespace {

using kestrova::Json;
using kestrova::store::Blob;
using kestrova::store::Connection;

// splitmix64: small, fast and the same on every platform and standard library (the
// std:: distributions are not), which keeps a seed's output stable.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  uint64_t below(uint64_t n) { return n == 0 ? 0 : next() % n; }
  int64_t between(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(below(hi - lo + 1)); }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  bool chance(double p) { return unit() < p; }
  template <typename T, size_t N>
  const T& pick(const std::array<T, N>& items) { return items[below(N)]; }
  template <typename T>
  const T& pick(const std::vector<T>& items) { return items[below(items.size())]; }

  std::string uuid() {
    uint64_t hi = next(), lo = next();
    hi = (hi & 0xFFFFFFFFFFFF0FFFull) | 0x0000000000004000ull;  // version 4
    lo = (lo & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;  // RFC 4122 variant
    char buf[37];
    std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(hi >> 32),
                  static_cast<unsigned>((hi >> 16) & 0xFFFF), static_cast<unsigned>(hi & 0xFFFF),
                  static_cast<unsigned>(lo >> 48),
                  static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFull));
    return buf;
  }
  std::string hex(size_t digits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < digits; ++i) out += kDigits[below(16)];
    return out;
  }

 private:
  uint64_t state_;
};

// Replaces "{w}" in `pattern` with `word` and "{n}" with `number`.
std::string fill_placeholders(std::string_view pattern, std::string_view word, std::string_view number) {
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern.substr(i, 3) == "{w}") {
      out += word;
      i += 2;
    } else if (pattern.substr(i, 3) == "{n}") {
      out += number;
      i += 2;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

// ---- vocabulary ----

constexpr std::array<std::string_view, 20> kSurnames = {
    "王", "李", "张", "刘", "陈", "杨", "黄", "赵", "吴", "周",
    "徐", "孙", "马", "朱", "胡", "郭", "何", "林", "罗", "高"};
constexpr std::array<std::string_view, 20> kSurnamesPinyin = {
    "wang", "li", "zhang", "liu", "chen", "yang", "huang", "zhao", "wu", "zhou",
    "xu", "sun", "ma", "zhu", "hu", "guo", "he", "lin", "luo", "gao"};
constexpr std::array<std::string_view, 20> kGivenNames = {
    "伟", "芳", "娜", "敏", "静", "磊", "洋", "艳", "勇", "军",
    "杰", "娟", "涛", "明", "超", "秀英", "建华", "晓东", "丽华", "志强"};
constexpr std::array<std::string_view, 20> kGivenNamesPinyin = {
    "wei", "fang", "na", "min", "jing", "lei", "yang", "yan", "yong", "jun",
    "jie", "juan", "tao", "ming", "chao", "xiuying", "jianhua", "xiaodong", "lihua", "zhiqiang"};
constexpr std::array<std::string_view, 20> kFirstNames = {
    "James", "Emma", "Olivia", "Liam", "Noah", "Sophia", "Lucas", "Mia", "Ethan", "Chloe",
    "Daniel", "Grace", "Henry", "Isabella", "Jack", "Lena", "Marco", "Nora", "Oscar", "Priya"};
constexpr std::array<std::string_view, 16> kLastNames = {
    "Smith", "Müller", "Johnson", "García", "Brown", "Rossi", "Taylor", "Nguyen",
    "Schmidt", "Kowalski", "Anderson", "Dubois", "Martin", "Silva", "Walker", "Tanaka"};
constexpr std::array<std::string_view, 16> kLastNamesAscii = {
    "smith", "mueller", "johnson", "garcia", "brown", "rossi", "taylor", "nguyen",
    "schmidt", "kowalski", "anderson", "dubois", "martin", "silva", "walker", "tanaka"};
constexpr std::array<std::string_view, 10> kPersonalDomains = {
    "qq.com", "163.com", "gmail.com", "outlook.com", "foxmail.com",
    "sina.com", "example.org", "yahoo.com", "icloud.com", "126.com"};
constexpr std::array<std::string_view, 6> kWorkDomains = {
    "acme-corp.com", "xinghe-tech.cn", "globex.example.com", "lantian-trade.com",
    "initech.example.com", "university.edu.cn"};

struct Sender {
  std::string name;
  std::string email;
  bool chinese;
  bool bulk;  // newsletters and notifications
};

struct BulkSender {
  std::string_view name;
  std::string_view email;
  bool chinese;
};
constexpr std::array<BulkSender, 8> kBulkSenders = {{
    {"GitHub", "noreply@github.example.com", false},
    {"京东商城", "newsletter@jd.example.com", true},
    {"Medium Daily Digest", "noreply@medium.example.com", false},
    {"淘宝网", "service@taobao.example.com", true},
    {"LinkedIn", "messages-noreply@linkedin.example.com", false},
    {"中国南方航空", "itinerary@csair.example.com", true},
    {"Booking.com", "customer.service@booking.example.com", false},
    {"招商银行信用卡", "statement@cmbchina.example.com", true},
}};

constexpr std::array<std::string_view, 8> kProjects = {"星河", "Phoenix", "蓝鲸", "Atlas",
                                                        "北极星", "Orion", "青松", "Hermes"};
constexpr std::array<std::string_view, 8> kTopics = {"预算", "招聘", "产品路线图", "security review",
                                                      "onboarding", "数据迁移", "API design", "市场推广"};
constexpr std::array<std::string_view, 6> kPlaces = {"杭州", "成都", "Tokyo", "Berlin", "三亚", "Lisbon"};
constexpr std::array<std::string_view, 5> kCompanies = {"Acme Corp", "星辰科技", "Globex", "蓝天贸易",
                                                         "Initech"};

// "{w}": a project, topic, place or company; "{n}": a number.
constexpr std::array<std::string_view, 12> kChineseSubjects = {
    "关于{w}项目的周报（第{n}周）", "发票 #{n} 已开具，请查收", "【会议通知】{w}讨论会",
    "{w}项目进度更新 {n}", "请审阅：{w}方案 v{n}", "周末一起去{w}吗？{n}",
    "您的订单 {n} 已发货", "年终总结与明年计划 {n}", "报销单待审批 - {n}",
    "限时优惠：全场 50% 折扣 {n}", "{w}合同最终版 {n}", "面试安排确认 {n}"};
constexpr std::array<std::string_view, 12> kEnglishSubjects = {
    "Weekly report: {w} (week {n})", "Invoice #{n} from {w}", "Meeting notes: {w}",
    "{w} timeline update {n}", "Please review: {w} proposal v{n}", "Trip to {w} - itinerary {n}",
    "Your order #{n} has shipped", "Quarterly planning {n}", "Expense report {n} awaiting approval",
    "Spring sale: 50% off everything {n}", "{w} contract - final version {n}", "Lunch on Friday? {n}"};

constexpr std::array<std::string_view, 24> kChineseSentences = {
    "附件是本周的工作进展，请查收。", "我们计划在下周三之前完成第一阶段的开发。",
    "如有任何问题，请随时与我联系。", "会议将在三楼的大会议室举行，请准时参加。",
    "根据上次讨论的结果，我整理了以下几点意见。", "预算方面还需要财务部门进一步确认。",
    "客户反馈整体满意，但希望交付时间能提前。", "请在周五之前提交报销单和相关发票。",
    "测试环境已经部署完毕，可以开始验收。", "这次旅行的行程和酒店信息都在下面。",
    "感谢大家这段时间的辛苦付出。", "新版本修复了登录页面的几个问题。",
    "下个季度的重点是提升用户留存率。", "我已经把文档上传到共享盘了。",
    "麻烦帮忙确认一下合同的最终版本。", "周末天气不错，要不要一起去爬山？",
    "数据迁移预计需要两个小时，期间服务会暂停。", "请注意，本次优惠活动仅限本周有效。",
    "招聘进展顺利，已经安排了三轮面试。", "如果时间允许，我们可以先做一个原型。",
    "发票信息如下，请核对抬头和税号是否正确。", "项目组将在月底进行一次复盘。",
    "我下周请假，期间的事务由小张代为处理。", "这份报告的数据来源是上个月的销售记录。"};
constexpr std::array<std::string_view, 24> kEnglishSentences = {
    "Please find attached the latest status report for this week.",
    "We plan to finish the first milestone before next Wednesday.",
    "Let me know if you have any questions or concerns.",
    "The meeting will take place in the large conference room on the third floor.",
    "Based on our last discussion, I have summarised the main points below.",
    "The budget still needs a final sign-off from the finance team.",
    "The customer is happy overall but would like an earlier delivery date.",
    "Please submit your expense reports and invoices by Friday.",
    "The staging environment is ready, so acceptance testing can start.",
    "Your itinerary and hotel details are listed below.",
    "Thanks everyone for the hard work over the past few weeks.",
    "The new release fixes several issues on the sign-in page.",
    "Next quarter we will focus on improving user retention.",
    "I have uploaded the documents to the shared drive.",
    "Could you confirm that this is the final version of the contract?",
    "The weather looks great this weekend, fancy a hike?",
    "The data migration should take about two hours, during which the service is paused.",
    "Note that this offer is only valid until the end of the week.",
    "Hiring is on track and three rounds of interviews are scheduled.",
    "If time allows, we could build a quick prototype first.",
    "The invoice details are below; please check the billing address and tax number.",
    "The project team will hold a retrospective at the end of the month.",
    "I am out of office next week; Sam will cover for me in the meantime.",
    "The figures in this report come from last month's sales records."};

constexpr std::array<std::string_view, 14> kTags = {
    "工作", "invoice", "会议", "旅行", "newsletter", "重要", "family",
    "receipt", "项目", "promotion", "账单", "travel", "招聘", "follow-up"};
constexpr std::array<std::string_view, 3> kPriorities = {"high", "normal", "low"};
constexpr std::array<std::string_view, 4> kCategories = {"work", "personal", "newsletter", "transactional"};

// ---- accounts and folders ----

struct AccountTemplate {
  std::string_view display_name;
  std::string_view email;
  std::string_view service_type;
  std::string_view imap_host;
  std::string_view smtp_host;
  int smtp_port;
  std::string_view smtp_encryption;
  bool chinese;
};

constexpr std::array<AccountTemplate, 3> kAccounts = {{
    {"李伟", "li.wei@qq.com", "QQ 邮箱", "imap.qq.com", "smtp.qq.com", 465, "ssl", true},
    {"Emma Schmidt", "emma.schmidt@gmail.com", "Gmail", "imap.gmail.com", "smtp.gmail.com", 465,
     "ssl", false},
    {"王芳", "wang.fang@xinghe-tech.cn", "腾讯企业邮箱", "imap.exmail.qq.com", "smtp.exmail.qq.com",
     465, "ssl", true},
}};

struct Account {
  std::string id;
  std::string name;
  std::string email;
  bool chinese;
};

struct SystemFolder {
  std::string_view type;
  std::string_view chinese_name;
  std::string_view english_name;
  std::string_view path;
  double weight;  // share of the account's mail
};

// The order in which an account gets its folders; custom folders come after these.
constexpr std::array<SystemFolder, 6> kSystemFolders = {{
    {"inbox", "收件箱", "Inbox", "INBOX", 40},
    {"sent", "已发送", "Sent", "Sent", 12},
    {"drafts", "草稿箱", "Drafts", "Drafts", 1},
    {"trash", "已删除", "Trash", "Trash", 4},
    {"spam", "垃圾邮件", "Junk", "Junk", 3},
    {"archive", "归档", "Archive", "Archive", 25},
}};
constexpr std::array<std::string_view, 12> kCustomFolderNames = {
    "项目/季度报告", "Receipts", "家庭", "Newsletters", "旅行计划", "Clients/Acme",
    "财务", "Conferences", "读书会", "Recruiting", "孩子学校", "Open Source"};
constexpr double kCustomFolderWeight = 4;

struct Folder {
  std::string id;
  size_t account;
  std::string type;
  double weight;
  int64_t next_uid = 1;
  int64_t unread = 0;
  int64_t total = 0;
};

// ---- message content ----

struct Options {
  std::filesystem::path out;
  int64_t messages = 100000;
  int64_t accounts = 3;
  int64_t folders = 30;
  uint64_t seed = 42;
  bool force = false;
  bool demo = false;
};

// Two years of mail ending at a fixed moment (2025-06-01T00:00:00Z), so a seed always gives
// the same dates.
constexpr double kNewestDate = 1748736000.0;
constexpr double kSpan = 2 * 365.0 * 86400.0;
// Individual correspondents; the newsletter senders come after them.
constexpr size_t kPeople = 400;

class MailGenerator {
 public:
  MailGenerator(const Options& options, Random& random)
      : options_(options),
        random_(random),
        newest_(options.demo ? std::floor(static_cast<double>(std::time(nullptr)) / 60) * 60
                             : kNewestDate),
        attachments_dir_(options.out.parent_path() / "Attachments") {
    make_senders();
  }

  void write(Connection& c) {
    insert_accounts(c);
    insert_folders(c);
    insert_contacts(c);
    insert_messages(c);
    if (options_.demo) insert_conversations(c);
    update_folder_counts(c);
  }

  // The conversation keys written, per account id (demo mailboxes get their summaries).
  const std::map<std::string, std::vector<std::string>>& threads() const { return threads_; }
  int64_t written_messages() const { return written_; }
  int64_t duplicates() const { return duplicates_; }

 private:
  std::string person_name_and_address(bool chinese, bool work, std::string& email) {
    std::string name;
    if (chinese) {
      const size_t s = random_.below(kSurnames.size()), g = random_.below(kGivenNames.size());
      name = std::string(kSurnames[s]) + std::string(kGivenNames[g]);
      email = std::string(kGivenNamesPinyin[g]) + "." + std::string(kSurnamesPinyin[s]);
    } else {
      const auto first = random_.pick(kFirstNames);
      const size_t last = random_.below(kLastNames.size());
      name = std::string(first) + " " + std::string(kLastNames[last]);
      email = kestrova::text::lower(first) + "." + std::string(kLastNamesAscii[last]);
    }
    if (random_.chance(0.3)) email += std::to_string(random_.between(1, 99));
    email += "@" + std::string(work ? random_.pick(kWorkDomains) : random_.pick(kPersonalDomains));
    return name;
  }

  void make_senders() {
    for (size_t i = 0; i < kPeople; ++i) {
      Sender s;
      s.chinese = random_.chance(0.55);
      s.name = person_name_and_address(s.chinese, random_.chance(0.5), s.email);
      s.bulk = false;
      senders_.push_back(std::move(s));
    }
    for (const BulkSender& b : kBulkSenders)
      senders_.push_back(Sender{std::string(b.name), std::string(b.email), b.chinese, true});
  }

  const Sender& pick_sender() {
    // One message in six is a newsletter or notification.
    if (random_.chance(1.0 / 6)) return senders_[kPeople + random_.below(kBulkSenders.size())];
    // A few correspondents write much more than the rest.
    const size_t n = random_.chance(0.5) ? random_.below(30) : random_.below(kPeople);
    return senders_[n];
  }

  void insert_accounts(Connection& c) {
    const double created = newest_ - kSpan - 86400.0 * 30;
    for (int64_t i = 0; i < options_.accounts; ++i) {
      Account a;
      a.id = random_.uuid();
      AccountTemplate t = kAccounts[static_cast<size_t>(i) % kAccounts.size()];
      std::string email(t.email), name(t.display_name);
      if (i >= static_cast<int64_t>(kAccounts.size())) {
        email = "user" + std::to_string(i + 1) + "@example.org";
        name = "Test User " + std::to_string(i + 1);
        t.service_type = "自定义";
        t.imap_host = "imap.example.org";
        t.smtp_host = "smtp.example.org";
      }
      a.name = name;
      a.email = email;
      a.chinese = t.chinese;
      if (options_.demo) {
        // A local-only account: no servers, no password (what `account add --local` makes).
        t.service_type = kestrova::store::raw_value(kestrova::store::EmailServiceType::custom);
        t.imap_host = t.smtp_host = "";
      }
      auto s = c.prepare(
          "INSERT INTO email_accounts (id, email_address, display_name, service_type, imap_host, "
          "imap_port, imap_encryption, smtp_host, smtp_port, smtp_encryption, is_enabled, is_default, "
          "last_sync_date, connection_status, password_keychain_identifier, created_at, updated_at) "
          "VALUES (?, ?, ?, ?, ?, 993, 'ssl', ?, ?, ?, 1, ?, ?, 'disconnected', ?, ?, ?)");
      std::optional<std::string> keychain;
      if (!options_.demo) keychain = "kestrova." + a.email;
      s.bind_all(a.id, a.email, a.name, t.service_type, t.imap_host, t.smtp_host, t.smtp_port,
                 t.smtp_encryption, int64_t{i == 0 ? 1 : 0}, newest_, keychain,
                 created + static_cast<double>(i) * 3600, newest_);
      s.run();
      accounts_.push_back(std::move(a));
    }
  }

  void insert_folders(Connection& c) {
    std::vector<size_t> per_account(accounts_.size(), 0);
    for (int64_t i = 0; i < options_.folders; ++i) {
      const size_t account = static_cast<size_t>(i) % accounts_.size();
      const size_t k = per_account[account]++;
      Folder f;
      f.id = random_.uuid();
      f.account = account;
      std::string name, path;
      if (k < kSystemFolders.size()) {
        const SystemFolder& sf = kSystemFolders[k];
        f.type = sf.type;
        f.weight = sf.weight;
        name = accounts_[account].chinese ? sf.chinese_name : sf.english_name;
        path = sf.path;
      } else {
        const size_t custom = (k - kSystemFolders.size() + account * 4) % kCustomFolderNames.size();
        f.type = "custom";
        f.weight = kCustomFolderWeight;
        name = kCustomFolderNames[custom];
        path = "INBOX/" + name;
      }
      auto s = c.prepare(
          "INSERT INTO email_folders (id, account_id, name, type, path, unread_count, total_count, "
          "last_sync_date) VALUES (?, ?, ?, ?, ?, 0, 0, ?)");
      s.bind_all(f.id, accounts_[account].id, name, f.type, path, newest_);
      s.run();
      folders_.push_back(std::move(f));
    }
    for (size_t a = 0; a < accounts_.size(); ++a) {
      std::vector<size_t> own;
      double total = 0;
      for (size_t i = 0; i < folders_.size(); ++i)
        if (folders_[i].account == a) {
          own.push_back(i);
          total += folders_[i].weight;
        }
      account_folders_.push_back(std::move(own));
      account_weight_total_.push_back(total);
    }
  }

  void insert_contacts(Connection& c) {
    for (const Sender& s : senders_) {
      auto st = c.prepare(
          "INSERT OR IGNORE INTO contacts (id, name, email, frequency, last_used, source) "
          "VALUES (?, ?, ?, ?, ?, 'received')");
      st.bind_all(random_.uuid(), s.name, s.email, random_.between(1, 200),
                  newest_ - random_.unit() * kSpan);
      st.run();
    }
  }

  size_t pick_account() {
    // The first account carries half of the mail, the others share the rest.
    if (accounts_.size() == 1 || random_.chance(0.5)) return 0;
    return 1 + random_.below(accounts_.size() - 1);
  }

  size_t pick_folder(size_t account) {
    const auto& own = account_folders_[account];
    double r = random_.unit() * account_weight_total_[account];
    for (size_t i : own) {
      r -= folders_[i].weight;
      if (r < 0) return i;
    }
    return own.back();
  }

  std::string subject(bool chinese) {
    const std::string_view pattern = chinese ? random_.pick(kChineseSubjects) : random_.pick(kEnglishSubjects);
    const std::string number = std::to_string(random_.between(1, 99999));
    std::string_view word;
    switch (random_.below(4)) {
      case 0: word = random_.pick(kProjects); break;
      case 1: word = random_.pick(kTopics); break;
      case 2: word = random_.pick(kPlaces); break;
      default: word = random_.pick(kCompanies); break;
    }
    return fill_placeholders(pattern, word, number);
  }

  // A body of `target` bytes or a little more: a greeting, paragraphs of sentences and a
  // signature.
  std::string text_body(bool chinese, const std::string& to_name, const std::string& from_name) {
    size_t target;
    const double r = random_.unit();
    if (r < 0.7) target = static_cast<size_t>(random_.between(800, 3000));
    else if (r < 0.95) target = static_cast<size_t>(random_.between(3000, 6000));
    else target = static_cast<size_t>(random_.between(6000, 12000));
    std::string body = chinese ? to_name + "，你好：\n\n" : "Hi " + to_name + ",\n\n";
    while (body.size() < target) {
      const int sentences = static_cast<int>(random_.between(2, 6));
      for (int i = 0; i < sentences; ++i) {
        body += chinese ? random_.pick(kChineseSentences) : random_.pick(kEnglishSentences);
        if (!chinese) body += ' ';
      }
      body += "\n\n";
    }
    body += chinese ? "祝好！\n" : "Best regards,\n";
    body += from_name;
    body += "\n";
    return body;
  }

  static std::string html_body(const std::string& text) {
    std::string html =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>body{font-family:sans-serif;"
        "line-height:1.5}</style></head><body><div class=\"content\">";
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\n\n", start);
      if (end == std::string::npos) end = text.size();
      html += "<p>";
      for (size_t i = start; i < end; ++i) html += text[i] == '\n' ? std::string("<br>") : std::string(1, text[i]);
      html += "</p>";
      start = end + 2;
    }
    html +=
        "</div><img src=\"https://tracking.example.com/open.gif\" width=\"1\" height=\"1\">"
        "</body></html>";
    return html;
  }

  // A newsletter as shops and services send them: a banner and product pictures from the
  // sender's image host, a table layout with inline styles, a button, a small print footer
  // and a tracking pixel. Uses no randomness, so the rest of the mailbox stays the same.
  static std::string newsletter_body(const std::string& text, const Sender& sender,
                                     const std::string& subject) {
    const std::string domain = sender.email.substr(sender.email.find('@') + 1);
    const std::string images = "https://img." + domain + "/mail/";
    std::string paragraphs;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\n\n", start);
      if (end == std::string::npos) end = text.size();
      paragraphs += "<p style=\"margin:0 0 12px 0;color:#333333\">";
      for (size_t i = start; i < end; ++i)
        paragraphs += text[i] == '\n' ? std::string("<br>") : std::string(1, text[i]);
      paragraphs += "</p>";
      start = end + 2;
    }
    const std::string button = sender.chinese ? "立即查看" : "Read more";
    const std::string footer = sender.chinese ? "您收到此邮件是因为您订阅了我们的通讯。退订"
                                              : "You receive this because you subscribed. Unsubscribe";
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>.btn{color:#fff}</style>"
           "<link rel=\"stylesheet\" href=\"https://" + domain + "/mail.css\"></head>"
           "<body style=\"margin:0;background:#f2f4f7\"><table width=\"100%\" cellpadding=\"0\" "
           "cellspacing=\"0\" bgcolor=\"#f2f4f7\"><tr><td align=\"center\">"
           "<table width=\"600\" cellpadding=\"16\" cellspacing=\"0\" bgcolor=\"#ffffff\">"
           "<tr><td bgcolor=\"#1f4e8c\" style=\"color:#ffffff;font-size:20px;font-weight:bold\">" +
           sender.name + "</td></tr><tr><td><img src=\"" + images + "banner.jpg\" width=\"568\" "
           "height=\"180\" alt=\"" + subject + "\"></td></tr><tr><td>"
           "<h2 style=\"color:#1f4e8c;margin:0 0 8px 0\">" + subject + "</h2>" + paragraphs +
           "<table cellpadding=\"8\"><tr><td><img src=\"" + images + "item1.jpg\" width=\"160\" "
           "height=\"120\" alt=\"1\"></td><td><img src=\"" + images + "item2.jpg\" width=\"160\" "
           "height=\"120\" alt=\"2\"></td><td><img src=\"" + images + "item3.jpg\" width=\"160\" "
           "height=\"120\" alt=\"3\"></td></tr></table>"
           "<p><a class=\"btn\" href=\"https://" + domain + "/newsletter?utm_source=mail\" "
           "style=\"background-color:#e8590c;color:#ffffff;padding:10px 18px;font-weight:bold;"
           "text-decoration:none\">" + button + "</a></p></td></tr>"
           "<tr><td style=\"color:#888888;font-size:12px\"><a href=\"https://" + domain +
           "/unsubscribe\" style=\"color:#888888\">" + footer + "</a></td></tr></table>"
           "</td></tr></table><img src=\"https://tracking." + domain + "/open.gif\" width=\"1\" "
           "height=\"1\" style=\"display:none\" onload=\"track()\"><script>track()</script>"
           "</body></html>";
  }

  std::string contact_list(const std::vector<std::pair<std::string, std::string>>& contacts) {
    Json list = Json::array();
    for (const auto& [name, email] : contacts) {
      Json contact = Json::object();
      if (!name.empty()) contact["name"] = name;
      contact["email"] = email;
      list.push_back(std::move(contact));
    }
    return kestrova::dump_compact(list);
  }

  std::vector<std::pair<std::string, std::string>> some_contacts(int64_t lo, int64_t hi) {
    std::vector<std::pair<std::string, std::string>> out;
    const int64_t n = random_.between(lo, hi);
    for (int64_t i = 0; i < n; ++i) {
      const Sender& s = senders_[random_.below(kPeople)];
      out.emplace_back(random_.chance(0.85) ? s.name : std::string(), s.email);
    }
    return out;
  }

  std::string tags_json() {
    std::vector<std::string_view> tags;
    const int64_t n = random_.between(1, 3);
    while (static_cast<int64_t>(tags.size()) < n) {
      const auto tag = random_.pick(kTags);
      if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(tag);
    }
    Json list = Json::array();
    for (auto t : tags) list.push_back(std::string(t));
    return kestrova::dump_compact(list);
  }

  // One generated message; copies of it share everything but id, folder and uid.
  struct Message {
    std::string message_id;  // empty: no Message-ID header (NULL column)
    std::string in_reply_to, thread_id, subject, from_name, from_email;
    std::string to, cc, bcc, text, html, preview;
    std::string ai_tags, ai_summary, ai_priority, ai_category;
    double date = 0, received = 0;
    bool is_read = false, is_starred = false, is_important = false, is_no_reply = false;
    bool has_attachments = false, is_spam = false, is_deleted = false, remote = false, draft = false;
    std::vector<kestrova::tools::DemoAttachment> attachments;  // demo mailboxes only
  };

  Message make_message(size_t account, const Folder& folder) {
    const Account& me = accounts_[account];
    Message m;
    const Sender& sender = pick_sender();
    const bool outgoing = folder.type == "sent" || folder.type == "drafts";
    const bool chinese = outgoing ? (me.chinese ? random_.chance(0.8) : random_.chance(0.2)) : sender.chinese;
    // The demo's mail is denser towards today, so that the last days hold a good part of it.
    const double age = random_.unit();
    m.date = newest_ - (options_.demo ? age * age : age) * kSpan;
    m.received = m.date + static_cast<double>(random_.between(1, 120));
    if (!random_.chance(0.03)) {
      m.message_id = "<" + random_.hex(16) + "." + std::to_string(written_) + "@" +
                     (outgoing ? me.email.substr(me.email.find('@') + 1)
                               : sender.email.substr(sender.email.find('@') + 1)) +
                     ">";
    }
    // About a third of personal mail answers an earlier message.
    // (The demo's conversations are written out instead: insert_conversations.)
    if (!options_.demo && !sender.bulk && !recent_ids_.empty() && random_.chance(0.3)) {
      const auto& [parent_id, thread] = recent_ids_[random_.below(recent_ids_.size())];
      m.in_reply_to = parent_id;
      m.thread_id = thread;
      m.subject = (chinese ? "回复：" : "Re: ") + subject(chinese);
    } else {
      m.thread_id = random_.uuid();
      m.subject = subject(chinese);
    }
    if (!m.message_id.empty()) {
      if (recent_ids_.size() < 2000) recent_ids_.emplace_back(m.message_id, m.thread_id);
      else recent_ids_[random_.below(recent_ids_.size())] = {m.message_id, m.thread_id};
    }

    std::vector<std::pair<std::string, std::string>> to;
    std::string to_name;
    if (outgoing) {
      m.from_name = me.name;
      m.from_email = me.email;
      to = some_contacts(1, 3);
      to_name = to.front().first.empty() ? to.front().second : to.front().first;
    } else {
      m.from_name = sender.name;
      m.from_email = sender.email;
      to.emplace_back(me.name, me.email);
      if (!sender.bulk && random_.chance(0.4)) {
        auto more = some_contacts(1, 3);
        to.insert(to.end(), more.begin(), more.end());
      }
      to_name = me.name;
    }
    if (random_.chance(0.05)) m.from_name.clear();  // some senders give no display name
    m.to = contact_list(to);
    if (random_.chance(0.3)) m.cc = contact_list(some_contacts(1, 3));
    if (outgoing && random_.chance(0.05)) m.bcc = contact_list(some_contacts(1, 2));

    m.text = text_body(chinese, to_name, m.from_name.empty() ? m.from_email : m.from_name);
    m.preview = kestrova::text::prefix_characters(m.text, 200);
    if (sender.bulk ? random_.chance(0.9) : random_.chance(0.25)) {
      m.html = sender.bulk ? newsletter_body(m.text, sender, m.subject) : html_body(m.text);
      m.remote = random_.chance(0.6);
    }

    const bool recent = m.date > newest_ - 30 * 86400.0;
    m.is_read = outgoing || random_.chance(recent ? 0.4 : 0.9);
    m.is_starred = random_.chance(0.04);
    m.is_important = random_.chance(0.08);
    m.is_no_reply = sender.bulk && !outgoing;
    m.has_attachments = random_.chance(0.15);
    m.draft = folder.type == "drafts";
    m.is_spam = folder.type == "spam" || random_.chance(0.005);
    m.is_deleted = (folder.type == "trash" && random_.chance(0.9)) || random_.chance(0.01);

    const double t = random_.unit();
    if (t < 0.35) {
      m.ai_tags = tags_json();
      m.ai_summary = chinese ? "这封邮件讨论了" + m.subject + "的相关事宜。"
                             : "This message is about " + m.subject + ".";
      m.ai_priority = random_.pick(kPriorities);
      m.ai_category = sender.bulk ? "newsletter" : std::string(random_.pick(kCategories));
    } else if (t < 0.40) {
      m.ai_tags = "[]";  // analysed, nothing worth a tag
    }
    if (options_.demo) {
      make_demo_content(m, sender, chinese, outgoing, to_name);
      // The demo's own texts replace the subject: the summary follows it.
      if (!m.ai_summary.empty())
        m.ai_summary = chinese ? "这封邮件讨论了" + m.subject + "的相关事宜。"
                               : "This message is about " + m.subject + ".";
    }
    return m;
  }

  // What a demo message has beyond the benchmark's: newsletters and receipts in HTML only,
  // and real files where the message is marked as having attachments.
  void make_demo_content(Message& m, const Sender& sender, bool chinese, bool outgoing,
                         const std::string& to_name) {
    const int64_t number = random_.between(10000, 99999);
    if (sender.bulk && !outgoing) {
      const size_t index = static_cast<size_t>(&sender - senders_.data()) - kPeople;
      auto mail = kestrova::tools::demo_bulk_mail(index, sender.name, sender.chinese,
                                                  random_.next(), number, to_name);
      m.subject = std::move(mail.subject);
      m.html = std::move(mail.html);
      m.text.clear();
      m.remote = true;
      m.preview = kestrova::text::prefix_characters(kestrova::html_to_readable(m.html).text, 200);
      if (!m.ai_tags.empty() && m.ai_tags != "[]" && (index == 1 || index == 3))
        m.ai_tags = R"(["促销","购物"])";
    }
    m.attachments.clear();
    if (m.has_attachments)
      m.attachments = kestrova::tools::demo_attachments(random_.next(), chinese, number);
  }

  static std::optional<std::string_view> or_null(const std::string& value) {
    if (value.empty()) return std::nullopt;
    return value;
  }
  static std::optional<Blob> blob_or_null(const std::string& value) {
    if (value.empty()) return std::nullopt;
    return Blob{value};
  }

  void insert_message(Connection& c, const Message& m, Folder& folder, size_t account) {
    auto s = c.prepare(
        "INSERT INTO email_messages (id, account_id, folder_id, uid, message_id, in_reply_to, "
        "thread_id, subject, from_name, from_email, to_contacts, cc_contacts, bcc_contacts, "
        "text_body, html_body, preview, date, received_date, is_read, is_starred, is_important, "
        "is_no_reply, has_attachments, is_spam, is_deleted, contains_remote_resources, ai_tags, "
        "ai_summary, ai_priority, ai_category, synced_at, updated_at, is_body_loaded, "
        "body_cached_at, is_draft) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
        "?, ?, ?, ?, 1, ?, ?)");
    const double synced = m.received + 5;
    // Local-only mail has no server and so no UID.
    std::optional<int64_t> uid;
    if (!m.draft && !options_.demo) uid = folder.next_uid++;
    const std::string id = random_.uuid();
    s.bind_all(id, accounts_[account].id, folder.id, uid, or_null(m.message_id),
               or_null(m.in_reply_to), m.thread_id, m.subject, or_null(m.from_name), m.from_email,
               blob_or_null(m.to), blob_or_null(m.cc), blob_or_null(m.bcc), or_null(m.text),
               or_null(m.html), m.preview, m.date, m.received, m.is_read, m.is_starred,
               m.is_important, m.is_no_reply, m.has_attachments, m.is_spam, m.is_deleted, m.remote,
               or_null(m.ai_tags), or_null(m.ai_summary), or_null(m.ai_priority),
               or_null(m.ai_category), synced, synced, synced, m.draft);
    s.run();
    ++written_;
    ++folder.total;
    if (!m.is_read && !m.is_deleted) ++folder.unread;
    if (options_.demo) threads_[accounts_[account].id].push_back(m.thread_id);
    for (size_t i = 0; i < m.attachments.size(); ++i) insert_attachment(c, id, m.attachments[i], i);
  }

  // The file under Attachments/<message row id>/ (folders 0700, files 0600, as the user's
  // mail is) and its row, which names the file as the attachment's stored copy.
  void insert_attachment(Connection& c, const std::string& message_row,
                         const kestrova::tools::DemoAttachment& a, size_t position) {
    const auto folder = attachments_dir_ / message_row;
    if (!kestrova::platform::ensure_private_directory(folder))
      throw std::runtime_error("cannot create " + folder.string());
    const auto file = folder / a.filename;
    {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out.write(a.bytes.data(), static_cast<std::streamsize>(a.bytes.size()));
      if (!out) throw std::runtime_error("cannot write " + file.string());
    }
    kestrova::platform::restrict_file_to_owner(file);
    auto s = c.prepare(
        "INSERT INTO email_attachments (id, message_id, filename, mime_type, size, content_id, "
        "is_inline, local_path, part_path, encoding, charset) "
        "VALUES (?, ?, ?, ?, ?, NULL, 0, ?, ?, 'base64', NULL)");
    s.bind_all(random_.uuid(), message_row, a.filename, a.mimeType,
               static_cast<int64_t>(a.bytes.size()), file.string(), std::to_string(position + 2));
    s.run();
  }

  // The written-out conversations: the correspondent's messages in the account's inbox (the
  // newest unread), the user's answers in its sent folder, each answering the one before.
  void insert_conversations(Connection& c) {
    const auto& conversations = kestrova::tools::demo_conversations();
    for (size_t n = 0; n < conversations.size(); ++n) {
      const auto& conversation = conversations[n];
      const size_t account = conversation.account % accounts_.size();
      const Account& me = accounts_[account];
      Folder* inbox = folder_of_type(account, "inbox");
      Folder* sent = folder_of_type(account, "sent");
      if (!inbox) continue;
      const std::string thread = random_.uuid();
      std::string previous_id, previous_text, previous_name;
      for (size_t i = 0; i < conversation.messages.size(); ++i) {
        const auto& step = conversation.messages[i];
        const bool last = i + 1 == conversation.messages.size();
        Message m;
        const std::string domain =
            (step.fromMe ? me.email : conversation.partnerEmail)
                .substr((step.fromMe ? me.email : conversation.partnerEmail).find('@') + 1);
        m.message_id = "<demo-" + std::to_string(n) + "-" + std::to_string(i) + "@" + domain + ">";
        m.in_reply_to = previous_id;
        m.thread_id = thread;
        m.subject = i == 0 ? conversation.subject
                           : (conversation.chinese ? "回复：" : "Re: ") + conversation.subject;
        m.from_name = step.fromMe ? me.name : conversation.partnerName;
        m.from_email = step.fromMe ? me.email : conversation.partnerEmail;
        m.to = step.fromMe ? contact_list({{conversation.partnerName, conversation.partnerEmail}})
                           : contact_list({{me.name, me.email}});
        m.text = step.text;
        if (!previous_text.empty()) {
          m.text += conversation.chinese ? "\n" + previous_name + " 写道：\n"
                                         : "\n" + previous_name + " wrote:\n";
          size_t start = 0;
          while (start < previous_text.size()) {
            const size_t end = previous_text.find('\n', start);
            m.text += "> " + previous_text.substr(start, end - start) + "\n";
            if (end == std::string::npos) break;
            start = end + 1;
          }
        }
        m.preview = kestrova::text::prefix_characters(step.text, 200);
        m.date = std::min(newest_ - 600,
                          newest_ - conversation.daysAgo * 86400.0 + step.hoursAfterStart * 3600.0);
        m.received = m.date + 30;
        m.is_read = step.fromMe || !last;
        if (step.attachment >= 0) {
          m.attachments = kestrova::tools::demo_attachments(static_cast<uint64_t>(step.attachment),
                                                            conversation.chinese,
                                                            static_cast<int64_t>(n * 100 + i));
          m.has_attachments = true;
        }
        Folder* folder = step.fromMe && sent ? sent : inbox;
        insert_message(c, m, *folder, account);
        previous_id = m.message_id;
        previous_text = step.text;
        previous_name = m.from_name;
      }
    }
  }

  Folder* folder_of_type(size_t account, std::string_view type) {
    for (size_t i : account_folders_[account])
      if (folders_[i].type == type) return &folders_[i];
    return nullptr;
  }

  void insert_messages(Connection& c) {
    while (written_ < options_.messages) {
      const size_t account = pick_account();
      Folder& folder = folders_[pick_folder(account)];
      const Message m = make_message(account, folder);
      insert_message(c, m, folder, account);
      // Gmail-style labels and server-side copies: the same Message-ID in a second folder of
      // the account (about one message in two hundred).
      if (!m.message_id.empty() && written_ < options_.messages && random_.chance(0.005)) {
        Folder& other = folders_[pick_folder(account)];
        if (&other != &folder) {
          insert_message(c, m, other, account);
          ++duplicates_;
        }
      }
    }
  }

  void update_folder_counts(Connection& c) {
    for (const Folder& f : folders_) {
      auto s = c.prepare("UPDATE email_folders SET unread_count = ?, total_count = ? WHERE id = ?");
      s.bind_all(f.unread, f.total, f.id);
      s.run();
    }
  }

  const Options& options_;
  Random& random_;
  std::vector<Sender> senders_;
  std::vector<Account> accounts_;
  std::vector<Folder> folders_;
  std::vector<std::vector<size_t>> account_folders_;
  std::vector<double> account_weight_total_;
  std::vector<std::pair<std::string, std::string>> recent_ids_;  // (Message-ID, thread)
  const double newest_;                                          // the date of the newest mail
  const std::filesystem::path attachments_dir_;
  std::map<std::string, std::vector<std::string>> threads_;
  int64_t written_ = 0;
  int64_t duplicates_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"Writes a realistic Kestrova mail database (deterministic for a given seed)."};
  app.add_option("--out", options.out, "Database file to create")->required();
  app.add_option("--messages", options.messages, "Number of messages")->check(CLI::Range(0, 100000000));
  app.add_option("--accounts", options.accounts, "Number of accounts")->check(CLI::Range(1, 1000));
  app.add_option("--folders", options.folders, "Number of folders (at least one per account)")
      ->check(CLI::Range(1, 100000));
  app.add_option("--seed", options.seed, "Seed of the generator");
  app.add_flag("--force", options.force, "Replace an existing file");
  app.add_flag("--demo", options.demo,
               "The mailbox of kestrova demo: local-only accounts, mail up to now, attachment "
               "files in Attachments/ beside the database, HTML newsletters, conversations");
  CLI11_PARSE(app, argc, argv);
  // The database owner creates the file's folder first, which needs a path with a parent.
  options.out = std::filesystem::absolute(options.out);
  if (options.folders < options.accounts) {
    std::fprintf(stderr, "--folders must be at least --accounts\n");
    return 2;
  }

  std::error_code ec;
  if (std::filesystem::exists(options.out, ec)) {
    if (!options.force) {
      std::fprintf(stderr, "%s exists; pass --force to replace it\n", options.out.c_str());
      return 1;
    }
    std::filesystem::remove(options.out);
    std::filesystem::remove(options.out.string() + "-journal", ec);
  }

  const auto start = std::chrono::steady_clock::now();
  auto db = kestrova::store::EmailDatabase::open(options.out);
  if (!db->is_open()) {
    std::fprintf(stderr, "cannot create %s\n", options.out.c_str());
    return 1;
  }
  Random random(options.seed);
  MailGenerator generator(options, random);
  try {
    db->write([&](Connection& c) {
      // A large page cache keeps index updates in memory; this connection is ours alone.
      c.execute("PRAGMA cache_size = -262144");
      generator.write(c);
    });
    // Conversation summaries, as the sync and the import keep them.
    kestrova::store::EmailThreadService threads(*db);
    for (const auto& [account, keys] : generator.threads()) threads.refreshThreads(account, keys);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "generation failed: %s\n", e.what());
    return 1;
  }
  db.reset();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s: %lld messages (%lld duplicate copies), %lld accounts, %lld folders, %.1f MB, %.1f s\n",
              options.out.c_str(), static_cast<long long>(generator.written_messages()),
              static_cast<long long>(generator.duplicates()), static_cast<long long>(options.accounts),
              static_cast<long long>(options.folders),
              static_cast<double>(std::filesystem::file_size(options.out)) / 1e6, seconds);
  return 0;
}
