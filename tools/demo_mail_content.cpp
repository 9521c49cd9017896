#include "demo_mail_content.h"

#include <array>
#include <cstdio>

namespace kestrova::tools {

namespace {

std::string number_text(int64_t n) { return std::to_string(n); }

// "12,345.67" style amounts from a number, so that a receipt's figures add up.
std::string amount(int64_t cents) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%lld.%02lld", static_cast<long long>(cents / 100),
                static_cast<long long>(cents % 100));
  return buffer;
}

// A one-page PDF 1.4 document with one line of Helvetica per entry (ASCII only: the
// standard fonts carry no Chinese glyphs). The cross-reference table holds the real byte
// offsets, so viewers open it without repairing it.
std::string pdf_document(const std::vector<std::string>& lines) {
  std::string content = "BT /F1 12 Tf 72 760 Td 18 TL\n";
  for (const auto& line : lines) {
    content += '(';
    for (char ch : line) {
      if (ch == '(' || ch == ')' || ch == '\\') content += '\\';
      content += static_cast<unsigned char>(ch) < 0x80 ? ch : '?';
    }
    content += ") Tj T*\n";
  }
  content += "ET\n";
  const std::array<std::string, 5> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 4 0 R "
      ">> >> /Contents 5 0 R >>",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream"};
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    char entry[24];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    pdf += entry;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

DemoAttachment invoice(bool chinese, int64_t n) {
  const int64_t net = 12000 + (n % 50) * 1730;
  const int64_t tax = net * 13 / 100;
  return {chinese ? "发票-" + number_text(n) + ".pdf" : "invoice-" + number_text(n) + ".pdf",
          "application/pdf",
          pdf_document({"INVOICE " + number_text(n), "",
                        "Consulting services, week " + number_text(n % 52 + 1),
                        "Net amount: " + amount(net), "VAT 13%: " + amount(tax),
                        "Total due: " + amount(net + tax), "", "Payable within 30 days."})};
}

DemoAttachment table(bool chinese, int64_t n) {
  std::string csv = chinese ? "月份,收入,支出\n" : "month,revenue,costs\n";
  for (int month = 1; month <= 6; ++month)
    csv += std::to_string(month) + "," + std::to_string(1000 + (n * month) % 900) + "," +
           std::to_string(600 + (n + month * 37) % 400) + "\n";
  return {chinese ? "季度数据-" + number_text(n % 100) + ".csv"
                  : "quarterly-figures-" + number_text(n % 100) + ".csv",
          "text/csv", csv};
}

DemoAttachment notes(bool chinese, int64_t n) {
  const std::string text =
      chinese ? "会议纪要（第" + number_text(n % 40 + 1) +
                    "次）\n\n1. 确认下一阶段的交付时间。\n2. 预算由财务部门复核。\n3. "
                    "下次会议：周三上午十点。\n"
              : "Meeting notes #" + number_text(n % 40 + 1) +
                    "\n\n1. Confirm the delivery date of the next phase.\n2. Finance reviews "
                    "the budget.\n3. Next meeting: Wednesday 10:00.\n";
  return {chinese ? "会议纪要.txt" : "meeting-notes.txt", "text/plain", text};
}

DemoAttachment invitation(bool chinese, int64_t n) {
  const std::string day = "202701" + std::string(n % 2 ? "1" : "2") + std::to_string(n % 9 + 1);
  const std::string ics =
      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Kestrova demo//EN\r\nBEGIN:VEVENT\r\nUID:demo-" +
      number_text(n) + "@kestrova.invalid\r\nDTSTAMP:20260101T000000Z\r\nDTSTART:" + day +
      "T020000Z\r\nDTEND:" + day +
      "T030000Z\r\nSUMMARY:" + (chinese ? "项目评审会" : "Project review") +
      "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  return {chinese ? "会议邀请.ics" : "invite.ics", "text/calendar", ics};
}

DemoAttachment chart(bool chinese, int64_t n) {
  std::string svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"240\" height=\"120\">"
      "<rect width=\"240\" height=\"120\" fill=\"#fff\"/>";
  for (int bar = 0; bar < 6; ++bar) {
    const int height = static_cast<int>(20 + (n * (bar + 3)) % 90);
    svg += "<rect x=\"" + std::to_string(15 + bar * 37) + "\" y=\"" + std::to_string(110 - height) +
           "\" width=\"25\" height=\"" + std::to_string(height) + "\" fill=\"#4a7bd0\"/>";
  }
  svg += "</svg>\n";
  return {chinese ? "趋势图.svg" : "chart.svg", "image/svg+xml", svg};
}

}  // namespace

std::vector<DemoAttachment> demo_attachments(uint64_t pick, bool chinese, int64_t number) {
  using Make = DemoAttachment (*)(bool, int64_t);
  constexpr std::array<Make, 5> kinds = {invoice, table, notes, invitation, chart};
  std::vector<DemoAttachment> out{kinds[pick % kinds.size()](chinese, number)};
  // One message in four carries a second, different file.
  if ((pick / kinds.size()) % 4 == 0)
    out.push_back(kinds[(pick + 1 + (pick / 20) % 3) % kinds.size()](chinese, number + 1));
  return out;
}

namespace {

constexpr std::string_view kHtmlHead =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>body{font-family:sans-serif;"
    "color:#222}table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:4px 8px}"
    "</style></head><body>";
constexpr std::string_view kHtmlTail =
    "<img src=\"https://tracking.example.com/open.gif\" width=\"1\" height=\"1\"></body></html>";

std::string link(std::string_view href, std::string_view text) {
  return "<a href=\"" + std::string(href) + "\">" + std::string(text) + "</a>";
}

std::string digest(std::string_view sender, std::string_view domain, int64_t n,
                   std::string_view toName, const std::array<std::string_view, 4>& items) {
  std::string html = std::string(kHtmlHead) + "<h1>" + std::string(sender) + "</h1><p>Hi " +
                     std::string(toName) + ", here is what happened this week.</p><ul>";
  for (size_t i = 0; i < items.size(); ++i)
    html += "<li>" +
            link("https://" + std::string(domain) + "/d/" + number_text(n) + "/" +
                     std::to_string(i + 1),
                 items[i]) +
            "</li>";
  html += "</ul><p>" +
          link("https://" + std::string(domain) + "/settings/notifications", "Unsubscribe") +
          " from these emails.</p>";
  return html + std::string(kHtmlTail);
}

std::string receipt(bool chinese, std::string_view sender, std::string_view title, int64_t n,
                    std::string_view toName,
                    const std::vector<std::pair<std::string, int64_t>>& rows) {
  std::string html =
      std::string(kHtmlHead) + "<h2>" + std::string(sender) + "</h2><p>" +
      (chinese ? std::string(toName) + "，您好：" : "Dear " + std::string(toName) + ",") +
      "</p><p>" + std::string(title) + "</p><table><tr><th>" + (chinese ? "项目" : "Item") +
      "</th><th>" + (chinese ? "金额" : "Amount") + "</th></tr>";
  int64_t total = 0;
  for (const auto& [item, cents] : rows) {
    html += "<tr><td>" + item + "</td><td>" + amount(cents) + "</td></tr>";
    total += cents;
  }
  html += "<tr><th>" + std::string(chinese ? "合计" : "Total") + "</th><th>" + amount(total) +
          "</th></tr></table><p>" + (chinese ? "订单号: " : "Reference: ") + number_text(n) +
          "</p>";
  return html + std::string(kHtmlTail);
}

}  // namespace

DemoBulkMail demo_bulk_mail(size_t sender, std::string_view senderName, bool chinese, uint64_t pick,
                            int64_t number, std::string_view toName) {
  const int64_t base = 1990 + static_cast<int64_t>(pick % 40000);
  switch (sender % 8) {
    case 0:
      return {"[GitHub] Your weekly digest #" + number_text(number),
              digest(senderName, "github.example.com", number, toName,
                     {"3 new pull requests in kestrova/kestrova", "Release v2.4 is out",
                      "Security advisory for a dependency", "5 issues assigned to you"})};
    case 1:
      return {"您的订单 " + number_text(number) + " 已发货",
              receipt(true, senderName, "您的订单已由京东物流发出，预计明天送达。", number, toName,
                      {{"无线降噪耳机", base * 3}, {"USB-C 充电线 ×2", 3980}, {"运费", 0}})};
    case 2:
      return {"Medium Daily Digest: stories picked for you " + number_text(number % 1000),
              digest(senderName, "medium.example.com", number, toName,
                     {"Why SQLite is all you need", "The quiet power of plain text",
                      "Ten years of writing a mail client", "Designing for the terminal"})};
    case 3:
      return {"交易成功：订单 " + number_text(number),
              receipt(true, senderName,
                      "您的交易已完成，感谢您在淘宝购物。限时促销：下单满 200 减 30。", number,
                      toName, {{"春季新款外套", base * 5}, {"棉袜 5 双装", 2990}})};
    case 4:
      return {"You appeared in " + number_text(number % 90 + 3) + " searches this week",
              digest(senderName, "linkedin.example.com", number, toName,
                     {"See who viewed your profile", "New jobs that match your skills",
                      "Marco Rossi shared a post", "Congratulate Nora on her new role"})};
    case 5:
      return {
          "电子客票行程单 " + number_text(number),
          receipt(true, senderName, "您的机票已出票：广州 — 成都，请提前 90 分钟到达机场。", number,
                  toName, {{"机票", base * 20}, {"机场建设费", 5000}, {"燃油附加费", 3000}})};
    case 6:
      return {"Booking confirmation " + number_text(number) + " – your stay in Lisbon",
              receipt(false, senderName, "Your booking is confirmed. Check-in from 15:00.", number,
                      toName, {{"2 nights, double room", base * 12}, {"City tax", 400}})};
    default:
      return {"信用卡电子账单（" + number_text(number % 12 + 1) + "月）",
              receipt(true, senderName, "您本期账单已出，请在到期还款日前还款。", number, toName,
                      {{"餐饮", base * 2}, {"交通", 8650}, {"网购", base * 4}})};
  }
}

const std::vector<DemoConversation>& demo_conversations() {
  static const std::vector<DemoConversation> conversations = {
      {0,
       true,
       "周五的产品评审会",
       "张敏",
       "zhang.min@xinghe-tech.cn",
       3.5,
       {{false, 0,
         "李伟，你好：\n\n周五下午两点的产品评审会，能不能请你准备一下登录流程的改版方案？大概十五"
         "分钟。\n\n张敏\n",
         -1},
        {true, 2, "张敏，你好：\n\n没问题，我周四晚上把方案发给你预览。\n\n李伟\n", -1},
        {false, 26, "收到，谢谢！另外附上会议议程，有问题随时说。\n\n张敏\n", 7},
        {true, 29, "议程看过了，我这边没有问题。周五见。\n\n李伟\n", -1},
        {false, 50, "评审会改到三楼大会议室了，时间不变。\n\n张敏\n", -1}}},
      {1,
       false,
       "Berlin offsite: venue options",
       "Marco Rossi",
       "marco.rossi@globex.example.com",
       5,
       {{false, 0,
         "Hi Emma,\n\nI shortlisted three venues for the Berlin offsite. The comparison is "
         "attached; the second one has the best rooms.\n\nMarco\n",
         6},
        {true, 3,
         "Hi Marco,\n\nThanks! The second one looks great. Can you check whether they "
         "have a room for 25 people on the Tuesday?\n\nEmma\n",
         -1},
        {false, 20, "They do, and they can hold it until Friday. Shall I book it?\n\nMarco\n", -1},
        {true, 21, "Yes please, go ahead.\n\nEmma\n", -1},
        {false, 45, "Booked. The confirmation is attached.\n\nMarco\n", 5}}},
      {2,
       false,
       "Contract renewal – Acme Corp",
       "James Walker",
       "james.walker@acme-corp.com",
       2,
       {{false, 0,
         "Dear Ms Wang,\n\nOur contract ends next month. We would like to renew it for two "
         "years on the same terms. Could you send us the draft?\n\nKind regards,\nJames "
         "Walker\n",
         -1},
        {true, 5,
         "Dear James,\n\nThank you. The draft renewal is attached; the only change is the "
         "support hours.\n\nBest regards,\nWang Fang\n",
         7},
        {false, 30, "Thank you, our legal team will review it this week.\n\nJames\n", -1}}},
      {0,
       true,
       "周末回家吃饭吗",
       "李娜",
       "na.li@163.com",
       1,
       {{false, 0, "哥，这周末爸妈让我们回家吃饭，你有空吗？\n", -1},
        {true, 1, "周六中午可以，我带点水果回去。\n", -1},
        {false, 2, "好的，那就周六中午十二点。\n", -1}}},
      {1,
       false,
       "Quarterly numbers",
       "Priya Nguyen",
       "priya.nguyen@outlook.com",
       8,
       {{true, 0,
         "Hi Priya,\n\nCould you send me the figures for the last quarter before Monday?\n\n"
         "Emma\n",
         -1},
        {false, 6, "Here they are — revenue is up in every month.\n\nPriya\n", 6},
        {true, 8, "Great, thanks. One question: does March include the refunds?\n\nEmma\n", -1},
        {false, 30,
         "It does not; refunds are booked in April. I added a note to the sheet.\n\n"
         "Priya\n",
         6}}},
  };
  return conversations;
}

}  // namespace kestrova::tools
