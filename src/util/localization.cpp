#include "util/localization.h"

#include <string_view>
#include <unordered_map>

#include "util/localization_tables.h"

namespace kestrova {

namespace {
TextLanguage current_language = TextLanguage::chinese;
}  // namespace

namespace detail {

// The one table of Chinese defaults, grouped by the feature that shows them.
const TextTable& chinese_texts() {
  static const TextTable table = {
      // Folders and message lists.
      {"email.folder.drafts", "草稿箱"},
      {"email.folder.sent", "已发送"},
      {"email.no.subject", "（无主题）"},
      {"email.virtual_folder.attachments", "带附件"},
      {"email.virtual_folder.starred", "已加星标"},

      // Writing mail: undo, scheduled sending, replies and forwards.
      {"undo.send.countdown", "%d 秒后发送"},
      {"undo.send.button", "按 u 或 Ctrl-C 撤销"},
      {"scheduled.send.success.title", "定时邮件已发送"},
      {"scheduled.send.success.body", "“%@” 已发送"},
      {"scheduled.send.failed.title", "定时邮件发送失败"},
      {"scheduled.send.failed.body", "“%@” 发送失败: %@"},
      {"reply.attribution", "在 %@，%@ 写道："},
      {"forward.header", "---------- 转发邮件 ----------"},

      // Message export.
      {"export.from", "发件人"},
      {"export.to", "收件人"},
      {"export.cc", "抄送"},
      {"export.subject", "主题"},
      {"export.date", "日期"},
      {"export.format.text", "纯文本"},

      // Priorities and categories of a message.
      {"priority.low", "低"},
      {"priority.normal", "普通"},
      {"priority.high", "高"},
      {"priority.urgent", "紧急"},
      {"category.primary", "主要"},
      {"category.social", "社交"},
      {"category.promotions", "推广"},
      {"category.updates", "动态"},
      {"category.forums", "论坛"},

      // Reply templates: categories and the four templates an empty store starts with.
      {"template.category.reply", "回复"},
      {"template.category.business", "商务"},
      {"template.category.personal", "个人"},
      {"template.category.follow_up", "跟进"},
      {"template.category.custom", "自定义"},
      {"template.default.ack.name", "已收到"},
      {"template.default.ack.body", "您好：\n\n邮件已收到，我会尽快处理并回复您。\n\n谢谢！"},
      {"template.default.thanks.name", "致谢"},
      {"template.default.thanks.body", "您好：\n\n非常感谢您的来信与帮助！\n\n祝好"},
      {"template.default.followup.name", "跟进"},
      {"template.default.followup.subject", "跟进：之前的邮件"},
      {"template.default.followup.body",
       "您好：\n\n想跟进一下我之前发送的邮件，不知您是否方便查看？期待您的回复。\n\n谢谢！"},
      {"template.default.ooo.name", "外出自动回复"},
      {"template.default.ooo.subject", "外出通知"},
      {"template.default.ooo.body",
       "您好：\n\n我目前外出，暂时无法及时回复邮件，回来后会尽快与您联系。\n\n感谢您的理解！"},

      // Action items.
      {"action.notify.wake.title", "行动项到时间了"},
      {"action.notify.wake.body", "「%@」需要继续处理"},

      // Follow-up queues and snoozing.
      {"followup.notify.reply_later.title", "该回复邮件了"},
      {"followup.notify.reply_later.body", "「%@」到了你设的回复时间"},
      {"followup.notify.waiting.title", "仍在等待回复"},
      {"followup.notify.waiting.body", "「%@」已经等 %d 天"},
      {"snooze.duration.one_hour", "1 小时后"},
      {"snooze.duration.tonight", "今晚"},
      {"snooze.duration.tomorrow", "明天"},
      {"snooze.duration.next_week", "下周"},
      {"snooze.duration.custom", "自定义时间…"},
      {"snooze.expired.title", "稍后处理的邮件回来了"},
      {"snooze.expired.body", "「%@」已回到邮件列表"},

      // New-mail notifications.
      {"notification.new_mail.generic", "收到一封新邮件"},
      {"notification.action.mark_as_read", "标记为已读"},
      {"notification.action.reply", "回复"},

      // Mail rules: the summary of a rule and the combined preview.
      {"rules.enabled", "启用"},
      {"rules.disabled", "停用"},
      {"rules.condition.from", "发件人包含「%@」"},
      {"rules.condition.subject", "主题包含「%@」"},
      {"rules.condition.body", "正文包含「%@」"},
      {"rules.condition.hasAttachments", "有附件"},
      {"rules.condition.noAttachments", "无附件"},
      {"rules.condition.read", "已读"},
      {"rules.condition.unread", "未读"},
      {"rules.condition.any", "所有邮件"},
      {"rules.action.markRead", "标为已读"},
      {"rules.action.markUnread", "标为未读"},
      {"rules.action.important", "标为重要"},
      {"rules.action.spam", "标为垃圾邮件"},
      {"rules.action.moveToFolder.summary", "移动到指定文件夹"},
      {"rules.action.tags", "添加标签：%@"},
      {"rules.action.delete", "移入删除状态"},
      {"rules.action.none", "不执行动作"},
      {"rules.all.enabled", "全部已启用规则"},

      // Privacy report: link reasons, sender trust, prompt-injection kinds.
      {"privacy.link.reason.displayMismatch", "链接文字显示的域名与实际目的地不同"},
      {"privacy.link.reason.ipAddress", "链接直接指向 IP 地址"},
      {"privacy.link.reason.urlShortener", "短链,真实目的地未知"},
      {"privacy.link.reason.punycode", "Punycode 域名,可能伪装"},
      {"privacy.link.reason.insecureScheme", "未加密的 http 链接"},
      {"privacy.sender.replyToMismatch", "Reply-To 域名 (%@) 与发件人 (%@) 不一致"},
      {"privacy.sender.displayNameMimicry", "发件人显示名里写着 %@,但实际发件域是 %@"},
      {"privacy.sender.bothIssues", "Reply-To 是 %@、发件域是 %@,而显示名写着 %@"},
      {"privacy.injection.kind.directInstruction", "可疑指令文字"},
      {"privacy.injection.kind.hiddenText", "隐藏不可见文字"},
      {"privacy.injection.kind.systemFence", "AI 系统提示围栏字符"},
      {"privacy.injection.kind.zeroWidthChars", "大段零宽字符"},
      {"privacy.injection.snippet.zeroWidth", "正文里包含异常的零宽字符段"},

      // Sender categories.
      {"sender.category.newsletter", "订阅邮件"},
      {"sender.category.paperTrail", "票据存档"},
      {"sender.category.vip", "重要联系人"},
      {"sender.category.lowPriority", "低优先级"},

      // Settings.
      {"settings.mcp.error.missingExecutable", "无法确定当前程序的可执行文件路径"},

      // Mail providers of the account editor: localised names and app-password hints.
      {"provider.mail163.name", "163 网易邮箱"},
      {"provider.qq.name", "QQ 邮箱"},
      {"provider.aliyun.name", "阿里云企业邮箱"},
      {"provider.tencent.name", "腾讯企业邮箱"},
      {"provider.custom.name", "自定义"},
      {"provider.gmail.summary", "需开启两步验证，并用 Google 账号生成的应用专用密码登录"},
      {"provider.outlook.summary", "开启两步验证的账号需使用 Microsoft 账户中生成的应用密码"},
      {"provider.icloud.summary", "请在 Apple 账户的“登录与安全”中生成 App 专用密码"},
      {"provider.exchange.summary",
       "使用工作或学校账号；若启用了多重验证，请在安全信息页面创建应用密码"},
      {"provider.yahoo.summary", "请在 Yahoo 账户安全设置中生成应用密码"},
      {"provider.aol.summary", "请在 AOL 账户安全设置中生成应用密码"},
      {"provider.mail163.summary", "请在网页版设置中开启 IMAP/SMTP 服务，并使用客户端授权码登录"},
      {"provider.qq.summary", "请在网页版设置中开启 IMAP/SMTP 服务，并使用生成的授权码登录"},
      {"provider.aliyun.summary", "使用企业邮箱地址和密码；管理员可能需要先开启 IMAP/SMTP"},
      {"provider.tencent.summary", "请在企业邮箱设置中开启安全登录，并使用客户端专用密码"},
      {"provider.custom.summary", "手动填写 IMAP 与 SMTP 服务器的地址、端口和加密方式"},
      // Questions about mail and background AI analysis.
      {"qa.scope.message", "邮件"},
      {"qa.scope.thread", "会话"},
      {"qa.scope.folder", "文件夹"},
      {"chat.scope.account", "账户"},
      {"qa.error.privacy_mode", "超级隐私模式已开启，AI 问答功能不可用。请在设置中关闭后再试。"},
      {"qa.error.account_privacy", "该邮箱账户已开启隐私模式，邮件内容不会发送给 AI 服务。"},
      {"qa.error.empty_response",
       "AI 服务返回了空内容。请检查 AI 配置是否正确（设置 → AI 与模型），或稍后重试。"},
      {"ai.ask.action", "AI 问答"},
      {"ai.ask.no_scope", "请用 --message、--thread、--folder 或 --account 指定问题的范围"},
      {"ai.ask.other_scope", "上一次对话是关于另一个范围的，本次重新开始。"},
      {"ai.analyze.super_privacy", "超级隐私模式已开启，邮件内容不会发送给 AI 服务。"},
      {"ai.analyze.none", "没有需要分析的邮件。"},
      {"ai.analyze.progress", "已分析 %d/%d 封邮件"},
      {"ai.analyze.done", "分析完成：%d 封写入了 AI 标签或优先级，%d 封失败。"},
  };
  return table;
}

}  // namespace detail

void set_text_language(std::string_view language_tag) {
  current_language = language_tag.starts_with("en") ? TextLanguage::english : TextLanguage::chinese;
}

TextLanguage text_language() { return current_language; }

std::string localized(std::string_view key) {
  if (current_language == TextLanguage::english) {
    const auto& english = detail::english_texts();
    if (auto it = english.find(key); it != english.end()) return std::string(it->second);
  }
  const auto& table = detail::chinese_texts();
  if (auto it = table.find(key); it != table.end()) return std::string(it->second);
  return std::string(key);
}

std::string format_placeholders(std::string_view pattern, std::span<const std::string> args) {
  std::string out;
  out.reserve(pattern.size());
  size_t next = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%' || i + 1 == pattern.size()) {
      out.push_back(pattern[i]);
      continue;
    }
    const char kind = pattern[i + 1];
    if (kind == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    if (kind != '@' && kind != 'd') {
      out.push_back('%');
      continue;
    }
    if (next < args.size())
      out.append(args[next++]);
    else
      out.append(pattern.substr(i, 2));
    ++i;
  }
  return out;
}

}  // namespace kestrova
