#include "app/core/writing/email_signature_templates.h"

#include <array>
#include <string>

#include "util/localization.h"

namespace kestrova::app {

namespace {

// Layout rule for every HTML design: the outer table and any nesting cell sit on lines of
// their own, and each filled-in line (title, company, phone, website, address) is one row,
// cell or division on a single line.

constexpr std::string_view kClassic = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:440px;max-width:100%;font-family:Arial,Helvetica,sans-serif;font-size:13px;line-height:1.5;color:#333333;">
<tr><td style="font-size:14px;font-weight:bold;color:#111111;">{{name}}</td></tr>
<tr><td style="color:#666666;">{{title}}</td></tr>
<tr><td style="color:#666666;">{{company}}</td></tr>
<tr><td><a href="mailto:{{email}}" style="color:#1a5fb4;text-decoration:none;">{{email}}</a></td></tr>
</table>)";

constexpr std::string_view kMinimal = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:420px;max-width:100%;font-family:Helvetica,Arial,sans-serif;font-size:13px;color:#444444;">
<tr><td style="font-weight:600;color:#222222;">{{name}}</td></tr>
<tr><td><a href="mailto:{{email}}" style="color:#444444;text-decoration:none;">{{email}}</a></td></tr>
</table>)";

constexpr std::string_view kClean = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:440px;max-width:100%;font-family:'Segoe UI',Helvetica,Arial,sans-serif;font-size:13px;line-height:1.6;color:#3d4450;border-top:1px solid #e3e7ee;">
<tr><td style="padding-top:10px;font-size:14px;font-weight:600;color:#1f2933;">{{name}}</td></tr>
<tr><td style="color:#7b8794;">{{title}}</td></tr>
<tr><td style="color:#7b8794;">{{company}}</td></tr>
<tr><td><a href="mailto:{{email}}" style="color:#2f80ed;text-decoration:none;">{{email}}</a></td></tr>
</table>)";

constexpr std::string_view kBusinessFull = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:460px;max-width:100%;font-family:Arial,Helvetica,sans-serif;font-size:13px;line-height:1.6;color:#333333;">
<tr><td style="font-size:14px;font-weight:bold;color:#0b3d91;">{{name}}</td></tr>
<tr><td style="color:#555555;">{{title}}</td></tr>
<tr><td style="font-weight:bold;color:#333333;">{{company}}</td></tr>
<tr><td style="padding-top:6px;">电话: {{phone}}</td></tr>
<tr><td>邮箱: <a href="mailto:{{email}}" style="color:#0b3d91;text-decoration:none;">{{email}}</a></td></tr>
<tr><td>网站: <a href="{{website}}" style="color:#0b3d91;text-decoration:none;">{{website}}</a></td></tr>
<tr><td style="color:#777777;">地址: {{address}}</td></tr>
</table>)";

constexpr std::string_view kCorporate = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:460px;max-width:100%;font-family:Arial,Helvetica,sans-serif;font-size:13px;line-height:1.5;color:#333333;">
<tr>
<td valign="top" style="width:200px;padding-right:14px;border-right:2px solid #0b5cab;">
<div style="font-size:14px;font-weight:bold;color:#0b5cab;">{{name}}</div>
<div style="color:#666666;">{{title}}</div>
<div style="font-weight:bold;">{{company}}</div>
</td>
<td valign="top" style="padding-left:14px;">
<div><a href="mailto:{{email}}" style="color:#0b5cab;text-decoration:none;">{{email}}</a></div>
<div>{{phone}}</div>
<div><a href="{{website}}" style="color:#0b5cab;text-decoration:none;">{{website}}</a></div>
<div style="color:#777777;">{{address}}</div>
</td>
</tr>
</table>)";

constexpr std::string_view kExecutive = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:450px;max-width:100%;font-family:Georgia,'Times New Roman',serif;font-size:14px;line-height:1.6;color:#2b2b2b;">
<tr><td style="font-size:14px;letter-spacing:1px;text-transform:uppercase;color:#1c1c1c;">{{name}}</td></tr>
<tr><td style="font-style:italic;color:#6b5d4f;">{{title}}</td></tr>
<tr><td style="color:#1c1c1c;">{{company}}</td></tr>
<tr><td style="padding-top:8px;border-top:1px solid #c9b99b;font-size:13px;"><a href="mailto:{{email}}" style="color:#6b5d4f;text-decoration:none;">{{email}}</a></td></tr>
<tr><td style="font-size:13px;">{{phone}}</td></tr>
</table>)";

constexpr std::string_view kModern = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:440px;max-width:100%;font-family:Helvetica,Arial,sans-serif;font-size:13px;color:#ffffff;background-color:#2d3e50;">
<tr>
<td style="padding:14px 16px;">
<div style="font-size:14px;font-weight:bold;">{{name}}</div>
<div style="color:#a9c7e8;">{{title}}</div>
<div style="color:#d7e3f0;">{{company}}</div>
<div style="padding-top:6px;"><a href="mailto:{{email}}" style="color:#ffffff;text-decoration:underline;">{{email}}</a></div>
<div style="color:#d7e3f0;">{{phone}}</div>
</td>
</tr>
</table>)";

constexpr std::string_view kCreative = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:440px;max-width:100%;font-family:'Trebuchet MS',Helvetica,sans-serif;font-size:13px;line-height:1.5;color:#3a3a3a;">
<tr>
<td valign="top" style="width:8px;background-color:#ff6f61;"></td>
<td valign="top" style="padding-left:12px;">
<div style="font-size:14px;font-weight:bold;color:#ff6f61;">{{name}}</div>
<div style="color:#6c5b7b;">{{title}}</div>
<div>{{company}}</div>
<div><a href="mailto:{{email}}" style="color:#355c7d;text-decoration:none;">{{email}}</a></div>
<div><a href="{{website}}" style="color:#355c7d;text-decoration:none;">{{website}}</a></div>
</td>
</tr>
</table>)";

constexpr std::string_view kBrandCard = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:440px;max-width:100%;font-family:Arial,Helvetica,sans-serif;font-size:13px;color:#333333;border:1px solid #dddddd;border-radius:6px;">
<tr><td style="padding:10px 14px;background-color:#f5f7fa;font-size:14px;font-weight:bold;color:#1d3557;">{{company}}</td></tr>
<tr>
<td style="padding:10px 14px;">
<div style="font-size:14px;font-weight:bold;">{{name}}</div>
<div style="color:#666666;">{{title}}</div>
<div><a href="mailto:{{email}}" style="color:#1d3557;text-decoration:none;">{{email}}</a></div>
<div>{{phone}}</div>
<div><a href="{{website}}" style="color:#1d3557;text-decoration:none;">{{website}}</a></div>
</td>
</tr>
</table>)";

constexpr std::string_view kAccentBar = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:430px;max-width:100%;font-family:Arial,Helvetica,sans-serif;font-size:13px;line-height:1.5;color:#333333;border-left:4px solid #2a9d8f;">
<tr><td style="padding-left:12px;font-size:14px;font-weight:bold;">{{name}}</td></tr>
<tr><td style="padding-left:12px;color:#2a9d8f;">{{title}}</td></tr>
<tr><td style="padding-left:12px;">{{company}}</td></tr>
<tr><td style="padding-left:12px;"><a href="mailto:{{email}}" style="color:#264653;text-decoration:none;">{{email}}</a></td></tr>
<tr><td style="padding-left:12px;">{{phone}}</td></tr>
</table>)";

constexpr std::string_view kWarmAccent = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:440px;max-width:100%;font-family:Georgia,serif;font-size:13px;line-height:1.6;color:#4a3b2f;">
<tr><td style="font-size:14px;font-weight:bold;color:#b5542c;">{{name}}</td></tr>
<tr><td style="border-bottom:2px solid #e9c46a;padding-bottom:4px;color:#7a5c45;">{{title}}</td></tr>
<tr><td style="padding-top:4px;">{{company}}</td></tr>
<tr><td><a href="mailto:{{email}}" style="color:#b5542c;text-decoration:none;">{{email}}</a></td></tr>
<tr><td>{{phone}}</td></tr>
<tr><td style="color:#8d7b6a;">{{address}}</td></tr>
</table>)";

constexpr std::string_view kGradientGlass = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:450px;max-width:100%;font-family:Helvetica,Arial,sans-serif;font-size:13px;color:#1f2937;background-color:#eef2ff;background-image:linear-gradient(135deg,#e0e7ff,#fce7f3);border-radius:10px;">
<tr>
<td style="padding:14px 18px;">
<div style="font-size:14px;font-weight:bold;color:#3730a3;">{{name}}</div>
<div style="color:#6b7280;">{{title}}</div>
<div>{{company}}</div>
<div style="padding-top:6px;"><a href="mailto:{{email}}" style="color:#4338ca;text-decoration:none;">{{email}}</a></div>
<div><a href="{{website}}" style="color:#4338ca;text-decoration:none;">{{website}}</a></div>
</td>
</tr>
</table>)";

constexpr std::string_view kMondrian = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:440px;max-width:100%;font-family:Arial,Helvetica,sans-serif;font-size:13px;color:#111111;border:3px solid #111111;">
<tr>
<td valign="top" style="width:24px;background-color:#d62828;border-right:3px solid #111111;"></td>
<td valign="top" style="padding:10px 12px;">
<div style="font-size:14px;font-weight:bold;">{{name}}</div>
<div>{{title}}</div>
<div>{{company}}</div>
<div style="padding-top:4px;"><a href="mailto:{{email}}" style="color:#003f88;text-decoration:none;">{{email}}</a></div>
<div>{{phone}}</div>
</td>
<td valign="bottom" style="width:24px;background-color:#fcbf49;border-left:3px solid #111111;"></td>
</tr>
</table>)";

constexpr std::string_view kMonoChip = R"(<br>
<table cellpadding="0" cellspacing="0" border="0" style="width:420px;max-width:100%;font-family:'Courier New',monospace;font-size:13px;color:#000000;">
<tr><td style="font-size:14px;font-weight:bold;">{{name}}</td></tr>
<tr><td><span style="display:inline-block;padding:1px 8px;border:1px solid #000000;border-radius:10px;">{{title}}</span></td></tr>
<tr><td><span style="display:inline-block;padding:1px 8px;background-color:#000000;color:#ffffff;border-radius:10px;">{{company}}</span></td></tr>
<tr><td><a href="mailto:{{email}}" style="color:#000000;">{{email}}</a></td></tr>
</table>)";

constexpr std::array<EmailSignatureTemplate, 17> kTemplates = {{
    {"classic", "经典", "姓名、职位、公司与邮箱的传统排版", kClassic},
    {"minimal", "极简", "只有姓名和邮箱", kMinimal},
    {"clean", "清爽", "细线分隔的浅色排版", kClean},
    {"business_full", "商务完整", "电话、网站与地址齐全的商务签名", kBusinessFull},
    {"corporate", "企业双列", "左列身份、右列联系方式", kCorporate},
    {"executive", "高管", "衬线字体的庄重排版", kExecutive},
    {"modern", "现代色块", "深色底块上的浅色文字", kModern},
    {"creative", "创意", "彩色竖条与跳色文字", kCreative},
    {"brand_card", "品牌卡片", "以公司名为抬头的卡片", kBrandCard},
    {"accent_bar", "左色条", "左侧一条强调色", kAccentBar},
    {"warm_accent", "暖色线条", "暖色下划线与衬线字体", kWarmAccent},
    {"gradient_glass", "渐变玻璃", "柔和渐变底色的圆角卡片", kGradientGlass},
    {"mondrian", "蒙德里安", "粗黑边框与红黄色块", kMondrian},
    {"mono_chip", "黑白胶囊", "黑白等宽字体与胶囊标签", kMonoChip},
    {"plain_simple", "纯文本-简单", "简洁的纯文本签名", "\n--\n{{name}}\n{{email}}", false},
    {"plain_business", "纯文本-商务", "适合商务场合的纯文本签名",
     "\n--\n{{name}}\n{{title}} | {{company}}\n\nE: {{email}}\nP: {{phone}}\nW: {{website}}",
     false},
    {"plain_minimal", "纯文本-极简", "最简洁的纯文本签名", "\n{{name}}\n{{email}}", false},
}};

}  // namespace

std::span<const EmailSignatureTemplate> email_signature_templates() { return kTemplates; }

const EmailSignatureTemplate* find_signature_template(std::string_view id) {
  for (const auto& entry : kTemplates)
    if (entry.id == id) return &entry;
  return nullptr;
}

std::string display_name(const EmailSignatureTemplate& design) {
  return localized("signature.template." + std::string(design.id) + ".name");
}

std::string display_description(const EmailSignatureTemplate& design) {
  return localized("signature.template." + std::string(design.id) + ".description");
}

}  // namespace kestrova::app
