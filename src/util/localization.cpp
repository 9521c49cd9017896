#include "util/localization.h"

#include <cctype>
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
      {"sync.bodies.progress", "%@: 正文 %d/%d 封"},
      {"sync.bodies.done", "%@: 已下载正文 %d 封（共需 %d 封）"},
      {"sync.bodies.failed", "部分文件夹的正文下载失败"},
      {"mail.body.notDownloaded",
       "（正文尚未下载到本地：kestrova run 会在后台下载，或运行 kestrova sync --bodies）"},
      {"email.folder.drafts", "草稿箱"},
      {"email.folder.sent", "已发送"},
      {"email.no.subject", "（无主题）"},
      {"status.pending.changes", "待同步到服务器的更改: %d 项（由 kestrova run 发送）"},
      {"email.virtual_folder.attachments", "带附件"},
      {"email.virtual_folder.starred", "已加星标"},

      // Local-only accounts, folder management, drafts on the server, archive upload.
      {"local_account.label", "本地账户（无服务器）"},
      {"local_account.added", "已添加本地账户: %@ (%@)"},
      {"local_account.no_servers", "本地账户没有服务器: --local 不能与服务器、密码或证书选项同用"},
      {"local_account.no_sync", "%@ 是本地账户，没有服务器可连接"},
      {"local_account.no_send", "%@ 是本地账户，没有发信服务器，不能发送邮件"},
      {"local_account.nothing_to_sync", "没有要同步的账户（本地账户不与服务器同步）"},
      {"folder.name.invalid", "文件夹名称不能为空，也不能含换行"},
      {"folder.exists", "文件夹「%@」已存在（账户 %@）"},
      {"folder.created", "已创建文件夹「%@」（账户 %@）"},
      {"folder.rename.refused", "不能重命名文件夹「%@」"},
      {"folder.renamed", "已将文件夹「%@」重命名为「%@」"},
      {"folder.delete.inbox", "不能删除收件箱"},
      {"folder.delete.confirm", "删除文件夹「%@」及其中的 %d 封邮件？"},
      {"folder.deleted", "已删除文件夹「%@」"},
      {"draft.none", "（没有草稿）"},
      {"draft.edit.bad_address", "收件人地址无效: %@"},
      {"draft.save_failed", "无法保存草稿"},
      {"draft.not_draft", "不是草稿: %@"},
      {"draft.saved", "草稿已保存: %@"},
      {"draft.deleted", "已删除草稿: %@"},
      {"draft.delete.confirm", "删除草稿「%@」（连同服务器上的副本）？"},
      {"draft.edit.terminal", "编辑草稿需要在终端中运行"},
      {"draft.edit.unchanged", "草稿未改变"},
      {"draft.edit.bad_line", "无法识别的行（只认 To、Cc、Bcc、Subject，空行后为正文）: %@"},
      {"draft.server.later", "服务器暂时无法更新草稿副本；kestrova run 运行时会重试"},
      {"import.stays_local", "这些邮件只保存在本机；加 --upload 可同时上传到服务器文件夹"},
      {"import.upload.local_folder", "本地文件夹没有服务器副本，不能 --upload"},
      {"import.upload.progress", "已上传 %d 封，服务器上已有 %d 封"},
      {"import.upload.failed", "上传失败: %@: %@"},
      {"import.upload.done", "已上传到服务器文件夹「%@」: 新增 %d 封，已存在 %d 封，失败 %d 封"},

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
      {"notification.action.open", "打开"},

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

      // AI scenarios and service regions.
      {"ai.scenario.email_translate", "邮件翻译"},
      {"ai.scenario.email_translate.desc", "把邮件正文翻译成你选择的语言"},
      {"ai.scenario.email_compose", "AI 邮件撰写"},
      {"ai.scenario.email_compose.desc", "根据要点起草或润色一封邮件"},
      {"ai.scenario.email_summary", "AI 邮件摘要"},
      {"ai.scenario.email_summary.desc", "用几句话概括一封邮件或一个会话"},
      {"ai.scenario.email_reply", "AI 回复建议"},
      {"ai.scenario.email_reply.desc", "为收到的邮件给出几条回复建议"},
      {"ai.scenario.email_analysis", "邮件智能分析"},
      {"ai.scenario.email_analysis.desc", "识别邮件的分类、优先级和待办事项"},
      {"ai.service.halvex.endpoint.cn", "中国区"},
      {"ai.service.halvex.endpoint.global", "国际区"},

      // Settings.
      {"settings.mcp.error.missingExecutable", "无法确定当前程序的可执行文件路径"},

      // The HTTP client of the AI services.
      {"http.clientUnavailable", "无法加载 HTTP 客户端库 libcurl（%@）"},

      // Command line: overview, help, the tool-server link and the mail service.
      {"cli.overview.counts", "Kestrova — 账户: %d，未读邮件: %d"},
      {"cli.overview.no_database", "Kestrova — 数据库未初始化 (%@)"},
      {"cli.overview.database", "数据库: %@"},
      {"cli.help.no_such_command", "没有这个命令: %@"},
      {"cli.error", "错误: %@"},
      {"cli.installed", "已安装: %@"},
      {"cli.removed", "已移除: %@"},
      {"cli.written", "已写入: %@"},
      {"cli.mcp.installed", "已安装: %@"},
      {"cli.mcp.not_installed", "未安装: %@"},
      {"cli.service.not_running", "服务: 未运行（用 kestrova run 启动）"},
      {"cli.service.running", "服务: 运行中 (pid %d)"},
      {"cli.service.account", "  %@  IDLE: %@  最近收信: %@"},
      {"cli.service.enable_hint",
       "启用并立即启动: systemctl --user daemon-reload && systemctl --user enable --now "
       "kestrova.service"},
      {"cli.service.links_hint",
       "让 kestrova: 链接由本程序打开: xdg-mime default kestrova.desktop "
       "x-scheme-handler/kestrova"},
      {"cli.service.disable_hint",
       "若服务仍在运行: systemctl --user disable --now kestrova.service"},

      // Command line: settings and kestrova:// links.
      {"cli.settings.unknown", "未知的设置项: %@（用 kestrova settings list 查看全部设置项）"},
      {"cli.settings.file", "设置文件: %@"},
      {"cli.settings.legend", "(* 表示与默认值不同)"},
      {"cli.open.message", "在主窗口中选中邮件"},
      {"cli.open.thread", "打开会话"},
      {"cli.open.draft", "在撰写窗口中打开草稿"},
      {"cli.open.account", "选中账户"},
      {"cli.open.email", "在独立窗口中打开邮件"},
      {"cli.open.reply", "打开回复窗口"},
      {"cli.open.drafts", "显示草稿列表"},
      {"cli.open.with_chat", "%@，并显示 AI 聊天侧栏"},
      {"cli.open.will", "将%@: %@"},
      {"cli.open.oauth_forwarded", "已把登录回调交给正在等待的 kestrova account add"},

      // Command line: syncing, listing, reading and changing mail.
      {"cli.date.unreadable", "无法识别的日期: %@（例如 2024-10-01 或 2024-10-01T08:00:00Z）"},
      {"cli.accounts.none", "还没有账户（用 kestrova account add 添加）"},
      {"cli.sync.folder_list", "%@: 文件夹列表…"},
      {"cli.sync.progress", "%@ / %@: %@ 封"},
      {"cli.sync.folder_done", "%@ / %@: %d 封, 新邮件 %d"},
      {"cli.sync.folder_failed", "%@ / %@: 同步失败: %@"},
      {"cli.sync.account_failed", "%@: 同步失败: %@"},
      {"cli.sync.moves_unfinished", "规则和垃圾邮件过滤触发的服务器移动 60 秒内未完成，已停止等待"},
      {"cli.folders.count", "%d 封"},
      {"cli.list.no_inbox", "找不到收件箱（用 --folder 指定文件夹）"},
      {"cli.list.empty", "(没有邮件)"},
      {"cli.read.no_html", "这封邮件没有 HTML 正文"},
      {"cli.attachments.none", "(这封邮件没有附件)"},
      {"cli.attachments.not_found", "邮件中没有附件: %@（这封邮件没有附件）"},
      {"cli.attachments.not_found_list", "邮件中没有附件: %@。附件有:%@"},
      {"cli.file.exists", "文件已存在: %@（用 --force 覆盖）"},
      {"cli.file.unwritable", "无法写入文件: %@"},
      {"cli.file.saved", "已保存: %@ (%d bytes)"},
      {"cli.search.empty", "(没有找到)"},
      {"cli.local_copy_behind", "警告: 服务器上已完成，但本地副本暂未更新（%@），下次同步时会更新"},
      {"cli.mark.done", "已标记: %@  %@"},
      {"cli.move.already_there", "邮件已在文件夹 %@ 中"},
      {"cli.move.done", "已移动到 %@: %@"},
      {"cli.spam.done", "已移到垃圾邮件: %@"},
      {"cli.delete.no_trash", "账户 %@ 没有废纸篓文件夹（永久删除用 --permanent）"},
      {"cli.delete.to_trash", "已移到 %@: %@"},
      {"cli.delete.done", "已删除: %@"},
      {"cli.error.item", "错误: %@: %@"},
      {"cli.delete.confirm", "永久删除 %d 封邮件？此操作无法撤销"},

      // Command line: a source copy the server only flagged as deleted.
      {"cli.flagged_only",
       "注意: "
       "该服务器只能一次清除文件夹中所有标记为删除的邮件，而文件夹中还有其他这样的邮件；为免误删它"
       "们，原邮件只标记为删除，仍留在服务器上"},

      // Command line: accounts, sign-in and certificate trust.
      {"cli.account.password_prompt", "密码: "},
      {"cli.account.password_not_terminal",
       "标准输入不是终端：请用 --password-stdin 从标准输入的第一行读取密码"},
      {"cli.account.password_empty", "密码不能为空"},
      {"cli.account.testing", "正在测试 %@ 的收发服务器…"},
      {"cli.account.bad_fingerprint", "证书指纹应为 64 位十六进制数（SHA-256，可用冒号分隔）: %@"},
      {"cli.account.ca_unreadable", "无法读取 CA 证书文件: %@"},
      {"cli.account.ca_no_pem", "CA 证书文件中没有 PEM 格式的证书: %@"},
      {"cli.account.unknown_provider", "未知的服务商: %@"},
      {"cli.account.unknown_encryption", "未知的加密方式: %@"},
      {"cli.account.provider_unrecognised",
       "无法从地址识别邮件服务商: 请用 --provider 选择服务商，或用 --imap-host 与 --smtp-host "
       "给出服务器"},
      {"cli.account.custom_needs_hosts", "自定义服务商需要给出 --imap-host 和 --smtp-host"},
      {"cli.account.hosts_empty", "服务器地址不能为空"},
      {"cli.account.oauth_providers", "OAuth 登录只支持 --provider gmail 或 outlook"},
      {"cli.account.oauth_client_id",
       "需要 OAuth 客户端 ID: 用 --client-id 给出（README 说明如何创建），或设置 %@"},
      {"cli.account.client_secret_prompt", "客户端密钥: "},
      {"cli.account.open_in_browser", "请在浏览器中打开以下地址并登录 %@:"},
      {"cli.account.browser_opened", "已在浏览器中打开登录页面"},
      {"cli.account.waiting_callback", "等待浏览器回调（最多 %d 分钟）..."},
      {"cli.account.signed_in", "登录完成"},
      {"cli.account.no_credential", "账户没有凭据条目: %@"},
      {"cli.account.tokens_updated", "已更新账户的登录令牌: %@"},
      {"cli.account.address_empty", "邮箱地址不能为空"},
      {"cli.account.oauth_only_options",
       "--client-id、--client-secret-stdin 与 --custom-scheme-redirect 只用于 --oauth"},
      {"cli.account.oauth_no_password", "--oauth 不使用密码"},
      {"cli.account.exists", "账户已存在: %@"},
      {"cli.account.trust_imap_command", "kestrova account add（其余参数不变）--imap-cert"},
      {"cli.account.trust_smtp_command", "kestrova account add（其余参数不变）--smtp-cert"},
      {"cli.account.test_skipped", "已跳过连接测试"},
      {"cli.account.test_failed", "连接测试未通过，账户未保存"},
      {"cli.account.added", "已添加账户: %@ (%@)"},
      {"cli.account.added_default", "已添加账户: %@ (%@)，默认账户"},
      {"cli.account.password_missing", "密码未找到"},
      {"cli.account.enabled", "已启用"},
      {"cli.account.disabled", "已停用"},
      {"cli.account.legend", "(* 表示默认账户)"},
      {"cli.account.remove_confirm", "删除账户 %@，连同本机保存的全部邮件和密码？"},
      {"cli.account.removed", "已删除账户: %@"},
      {"cli.account.default", "默认账户: %@"},
      {"cli.account.trust_choose_server", "请用 --imap 或 --smtp 选择一个服务器"},
      {"cli.account.trust_choose_what",
       "请给出证书指纹，或用 --ca-file 给出 CA 证书文件（二选一）"},
      {"cli.account.trusts_certificate", "%@ 的 %@ 服务器现在信任证书 %@"},
      {"cli.account.trusts_ca_file", "%@ 的 %@ 服务器现在信任CA 证书文件 %@"},

      // Command line: ids and what they name.
      {"cli.id.not_an_id", "不是%@ ID: %@"},
      {"cli.id.too_short", "%@ ID 至少要写 %d 个字符: %@"},
      {"cli.id.not_found", "未找到%@: %@"},
      {"cli.id.ambiguous", "%@ ID %@ 不唯一，可能是:%@"},
      {"cli.id.none_given", "没有给出 ID"},
      {"cli.noun.account", "账户"},
      {"cli.noun.message", "邮件"},
      {"cli.noun.rule", "规则"},
      {"cli.noun.block_entry", "黑名单条目"},
      {"cli.noun.action_item", "待办"},

      // Command line: accounts and folders by name.
      {"cli.database.unopenable", "无法打开邮件数据库: %@"},
      {"cli.account.not_found", "未找到账户: %@（用 kestrova account list 查看全部账户）"},
      {"cli.folder.not_found", "未找到文件夹: %@（账户 %@，用 kestrova folders 查看全部文件夹）"},
      {"cli.message.not_found", "未找到邮件: %@"},

      // Command line: mail rules.
      {"cli.rules.not_found", "未找到规则: %@"},
      {"cli.rules.yes_no", "%@ 只接受 yes 或 no: %@"},
      {"cli.rules.undecodable", "（规则内容无法读取，不会执行）"},
      {"cli.rules.none", "还没有规则（用 kestrova rules add 添加）"},
      {"cli.rules.name_empty", "规则名称不能为空"},
      {"cli.rules.folder_missing", "（该账户没有这个文件夹）"},
      {"cli.rules.target_folder", "目标文件夹: %@"},
      {"cli.rules.choose", "请给出规则 ID，或 --all 与 --account"},
      {"cli.rules.all_needs_account", "--all 需要 --account"},
      {"cli.rules.preview_count", "%@: %d 封"},
      {"cli.rules.result", "%@: 检查 %d 封, 匹配 %d 封, 已改变 %d 封"},
      {"cli.rules.result_dry_run", "%@: 检查 %d 封, 匹配 %d 封, 将改变 %d 封"},
      {"cli.rules.confirm", "规则将改变 %d 封邮件，继续？"},
      {"cli.rules.none_enabled", "这个账户没有启用的规则"},
      {"cli.rules.moves_unfinished", "规则触发的服务器移动 60 秒内未完成，已停止等待"},
      {"cli.rules.removed", "已删除规则: %@"},

      // Command line: privacy report, junk filter, block list and senders.
      {"cli.privacy.body_missing",
       "（正文尚未下载，报告只含主题和发件人；kestrova read ID 会下载正文）"},
      {"cli.privacy.trackers", "远程资源（追踪器）: %d"},
      {"cli.privacy.links", "可疑链接: %@"},
      {"cli.privacy.shown_as", "（显示为「%@」）"},
      {"cli.privacy.sender", "发件人: %@"},
      {"cli.privacy.sender_consistent", "一致"},
      {"cli.privacy.injection", "提示注入: %@"},
      {"cli.none", "无"},
      {"cli.junk.score", "得分: %@（阈值 %@）"},
      {"cli.junk.signals", "信号: %@"},
      {"cli.junk.on_arrival_deliver", "到达时: 正常投递"},
      {"cli.junk.on_arrival_move", "到达时: 移到垃圾邮件文件夹（%@）"},
      {"cli.junk.on_arrival_mark", "到达时: 标为垃圾邮件（%@）"},
      {"cli.block.address_needed", "请给出要拉黑的地址、@域名或域名"},
      {"cli.block.add_failed", "无法为 %@ 添加黑名单: %@"},
      {"cli.block.not_found", "未找到黑名单条目: %@"},
      {"cli.block.remove_failed", "无法删除黑名单条目: %@"},
      {"cli.block.removed", "已移出黑名单: %@"},
      {"cli.block.empty", "黑名单为空（用 kestrova block 添加）"},
      {"cli.sender.unknown_category",
       "未知的分类: %@（可选 newsletter、paperTrail、vip、lowPriority、none）"},
      {"cli.sender.category", "分类: %@"},
      {"cli.sender.category_vip", "分类: %@，VIP"},
      {"cli.sender.note", "备注: %@"},
      {"cli.sender.received", "收到: %d 封（近 30 天 %d 封），首次 %@，最近 %@"},
      {"cli.sender.sent", "发出: %d 封，最近 %@"},
      {"cli.sender.rank", "来信频率排名: 第 %d 位"},
      {"cli.sender.recent_messages", "最近往来:"},
      {"cli.sender.recent_attachments", "最近附件:"},
      {"cli.sender.co_recipients", "常一起收信的人:"},
      {"cli.sender.address_needed", "请给出发件人地址"},
      {"cli.sender.category_save_failed", "无法保存分类: %@"},
      {"cli.sender.category_set", "%@: 分类 %@"},
      {"cli.sender.category_cleared", "%@: 分类 已清除"},
      {"cli.sender.note_save_failed", "无法保存备注: %@"},
      {"cli.sender.note_cleared", "%@: 备注已清除"},
      {"cli.sender.note_saved", "%@: 备注已保存"},

      // Command line: action items, follow-ups and contacts.
      {"cli.time.unreadable",
       "无法识别的时间: %@（例如 2026-12-24T09:00:00Z 或 \"2026-12-24 09:00:00\"）"},
      {"cli.actions.not_found", "未找到待办: %@"},
      {"cli.actions.due", "  截止 %@"},
      {"cli.actions.snoozed_until", "  推迟到 %@"},
      {"cli.actions.origin", "  (%@, 邮件 %@)"},
      {"cli.actions.none", "没有待办"},
      {"cli.actions.title_empty", "待办标题不能为空"},
      {"cli.actions.duplicate", "这封邮件已有同名待办: %@"},
      {"cli.actions.change_failed", "无法修改待办: %@"},
      {"cli.actions.removed", "已删除待办: %@"},
      {"cli.followup.reply_later", "稍后回复"},
      {"cli.followup.waiting_on", "等待回复"},
      {"cli.followup.snoozed", "已推迟"},
      {"cli.followup.time_or_clear", "TIME 和 --clear 只能选一个"},
      {"cli.followup.since_or_clear", "--since 和 --clear 只能选一个"},
      {"cli.followup.reply_later_clear_failed", "无法清除稍后回复: %@"},
      {"cli.followup.reply_later_cleared", "已清除稍后回复: %@"},
      {"cli.followup.reply_later_set_failed", "无法设置稍后回复: %@"},
      {"cli.followup.reply_later_set", "稍后回复 %@: %@"},
      {"cli.followup.waiting_clear_failed", "无法清除等待回复: %@"},
      {"cli.followup.waiting_cleared", "已清除等待回复: %@"},
      {"cli.followup.waiting_set_failed", "无法设置等待回复: %@"},
      {"cli.followup.waiting_set", "等待回复（自 %@）: %@"},
      {"cli.contacts.none", "没有联系人"},
      {"cli.contacts.note", "  备注: %@"},

      // Command line: confirmations.
      {"cli.confirm.needs_yes", "不在终端上时，用 --yes 确认"},

      // Command line: the search language.
      {"cli.search.bad_date", "无法识别的日期: %@（例如 2026-12-01 或 7d）"},
      {"cli.search.has_only", "has: 只支持 has:attachment"},
      {"cli.search.is_only", "is: 只支持 unread、read 或 starred"},

      // Command line: importing mail.
      {"cli.import.no_folders", "账户 %@ 还没有文件夹（先同步一次文件夹列表）"},
      {"cli.import.no_such_folder", "账户 %@ 没有文件夹「%@」；可用的文件夹: %@"},
      {"cli.import.counts", "新增 %d 封，跳过 %d 封（已存在或重复），失败 %d 封"},
      {"cli.import.progress", "已读取 %d 封: %@"},
      {"cli.import.failed", "无法导入: %@"},
      {"cli.import.done", "已导入到 %@ / %@: %@"},
      {"cli.import.source_needed", "需要 --maildir 或 --mbox"},

      // Command line: export, scheduled mail and automatic replies.
      {"cli.export.done", "已导出: %@"},
      {"cli.export.failed", "导出失败: %@"},
      {"cli.export.exists", "文件已存在: %@（用 --force 覆盖）"},
      {"cli.scheduled.none", "(没有定时邮件)"},
      {"cli.scheduled.not_found", "没有这封定时邮件: %@"},
      {"cli.scheduled.cancelled", "已取消定时邮件: %@"},
      {"cli.autoreply.on", "自动回复: 开"},
      {"cli.autoreply.off", "自动回复: 关"},
      {"cli.autoreply.super_privacy", "（超级隐私模式已启用: 不会发送自动回复）"},
      {"cli.autoreply.text", "回复内容: %@"},

      // Command line: sending mail.
      {"cli.file.unreadable", "无法读取文件: %@"},
      {"cli.send.body_or_editor", "需要正文: 用 --body 或 --body-file 给出，或设置 $EDITOR"},
      {"cli.send.temp_file_failed", "无法创建临时文件"},
      {"cli.send.body_empty", "正文为空，已取消发送"},
      {"cli.send.body_needed", "需要正文: 用 --body 或 --body-file 给出"},
      {"cli.signature.not_found", "未找到签名: %@"},
      {"cli.send.sent", "已发送: %@"},
      {"cli.send.sent_copy_by_provider", "已发送文件夹: 由服务商自动保存"},
      {"cli.send.sent_copy_failed", "警告: 未能保存到已发送文件夹: %@"},
      {"cli.send.bad_time",
       "无法识别的时间: %@（例如 \"2026-12-08 09:00\"、2026-12-08T09:00:00Z 或 +2h）"},
      {"cli.send.scheduled", "已安排定时发送: %@（%@）"},
      {"cli.send.service_running", "kestrova run 正在运行，将按时发出"},
      {"cli.send.service_stopped", "kestrova run 未在运行: 邮件将在 kestrova run 运行后发出"},
      {"cli.send.undone", "已撤销，邮件未发送。草稿已保存: %@"},

      // Command line: signatures.
      {"cli.signature.none", "(没有签名)"},
      {"cli.signature.default_mark", "（默认）"},
      {"cli.signature.unknown_template",
       "未知的签名模板: %@（用 kestrova signature templates 查看）"},
      {"cli.signature.content_needed",
       "签名内容为空: 用 --content、--content-file 或 --template 给出"},
      {"cli.signature.name_needed", "需要签名名称（--name）"},
      {"cli.signature.added", "已添加签名: %@  %@"},
      {"cli.signature.updated", "已更新签名: %@  %@"},
      {"cli.signature.removed", "已删除签名: %@"},
      {"cli.signature.default", "默认签名: %@"},

      // Command line: AI services.
      {"cli.ai.unknown", "未知的%@: %@（可用: %@）"},
      {"cli.noun.protocol", "协议"},
      {"cli.noun.scenario", "场景"},
      {"cli.ai.profile_not_found", "找不到 AI 服务配置: %@（用 kestrova ai profiles 查看）"},
      {"cli.ai.profile_ambiguous", "有多个名为「%@」的 AI 服务配置，请用 ID 指定"},
      {"cli.ai.not_set", "（未设置）"},
      {"cli.ai.profile_endpoint", "    地址: %@"},
      {"cli.ai.profile_model", "    模型: %@  超时: %@ 秒  API Key: %@"},
      {"cli.ai.key_set", "已设置"},
      {"cli.ai.key_unset", "未设置"},
      {"cli.ai.legend", "(* 表示默认服务)"},
      {"cli.ai.key_not_terminal",
       "标准输入不是终端：请用 --api-key-stdin 从标准输入的第一行读取 API Key"},
      {"cli.ai.profile_saved", "已保存 AI 服务配置: %@ (%@)"},
      {"cli.ai.key_hint",
       "提示: 该服务需要 API Key，可用 kestrova ai profile edit %@ --api-key 填写"},
      {"cli.ai.profile_updated", "已更新 AI 服务配置: %@"},
      {"cli.ai.bound", "场景「%@」已绑定到 %@"},
      {"cli.ai.ready", "AI 服务配置可用。"},
      {"cli.ai.no_model", "（无模型）"},
      {"cli.ai.scenario_line", "%@ (%@): %@ · %@ · %@ 秒"},
      {"cli.ai.complete", "  ✓ 配置完整"},
      {"cli.ai.no_model_list", "「%@」不提供模型列表；可选模型:"},
      {"cli.ai.pulled", "模型下载完成: %@"},
      {"cli.ai.ollama_target", "Ollama: %@  模型: %@"},
      {"cli.ai.profile_removed", "已删除 AI 服务配置: %@"},
      {"cli.ai.default_profile", "默认 AI 服务: %@"},
      {"cli.ai.unbound", "场景「%@」使用默认服务"},

      // Command line: the tool server started by hand.
      {"cli.mcp.waiting",
       "kestrova --mcp-stdio 正在等待 MCP 主机（agent）从标准输入连接；如何配置主机见 kestrova mcp "
       "config --help"},

      // Command line: the demo.
      {"cli.demo.no_generator",
       "找不到演示邮件生成器 kestrova-generate-db（它与 kestrova 一起构建；可用 make demo）"},
      {"cli.demo.generator_failed", "生成演示邮件失败: %@"},
      {"cli.demo.generating", "正在 %@ 中生成演示邮件…"},
      {"cli.demo.ready", "演示邮件在 %@。在命令行中试用:"},
      {"cli.demo.agent_host",
       "让 agent 主机使用它（\"mcpServers\" 格式；VS Code 用 \"servers\" 并加 \"type\": "
       "\"stdio\"）:"},
      {"cli.demo.starting", "正在演示邮件上启动工具服务器（Ctrl-D 或 Ctrl-C 结束）。"},
      {"cli.demo.start_failed", "无法启动工具服务器: %@"},

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

      // AI on a message: refusals, languages, saved action items.
      {"ai.mail.error.privacy_mode",
       "超级隐私模式已开启，AI 邮件功能不可用。请在设置中关闭后再试。"},
      {"ai.mail.error.account_privacy", "该邮箱账户已开启隐私模式，邮件内容不会发送给 AI 服务。"},
      {"ai.mail.actions.saved", "已加入待办: %d 项"},
      {"email.language.chinese", "中文"},
      {"email.language.english", "英文"},
      {"email.language.japanese", "日文"},
      {"email.language.korean", "韩文"},
      {"ai.rule.saved", "已保存脚本规则「%@」(%@)：未启用，本程序不执行脚本规则"},
      {"ai.mail.error.empty_response",
       "AI 服务返回了空内容。请检查 AI 配置是否正确（设置 → AI 与模型），或稍后重试。"},
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
      // Stopping promptly, bounded AI streams, OAuth sign-in pages (wt-ai-bounds).
      {"http.cancelled", "请求已取消（程序正在停止）"},
      {"mail.transport.cancelled", "连接已中断（程序正在停止）"},
      {"oauth.page.done", "登录已完成，可以关闭此页面。"},
      {"oauth.page.failed", "登录未完成，请回到终端查看原因。"},
      {"oauth.page.not_found", "这里没有页面。登录仍在等待授权服务器的回调。"},
      // The desktop window.
      {"desktop.action.archive", "归档"},
      {"desktop.action.conversations", "按会话分组"},
      {"desktop.action.inbox", "转到收件箱"},
      {"desktop.action.move", "移动到文件夹…"},
      {"desktop.action.next", "下一封"},
      {"desktop.action.open", "打开邮件"},
      {"desktop.action.palette", "命令面板"},
      {"desktop.action.previous", "上一封"},
      {"desktop.action.read", "已读 / 未读"},
      {"desktop.action.search", "搜索"},
      {"desktop.action.shortcuts", "键盘快捷键"},
      {"desktop.action.spam", "垃圾邮件"},
      {"desktop.action.star", "星标"},
      {"desktop.action.trash", "删除"},
      {"desktop.action.undo", "撤销"},
      {"desktop.ai.action_items", "待办："},
      {"desktop.ai.summary", "AI 摘要："},
      {"desktop.attachment.not_downloaded", "尚未下载：下次同步时获取"},
      {"desktop.attachment.save", "保存附件"},
      {"desktop.cli.handed_over", "已在打开的 Kestrova 窗口中显示。"},
      {"desktop.cli.missing", "找不到窗口程序：%@"},
      {"desktop.close", "关闭"},
      {"desktop.error.no_archive", "%@ 没有归档文件夹"},
      {"desktop.error.no_spam", "%@ 没有垃圾邮件文件夹"},
      {"desktop.error.no_trash", "%@ 没有废纸篓文件夹"},
      {"desktop.header.cc", "抄送"},
      {"desktop.header.to", "收件人"},
      {"desktop.images.always", "始终显示此发件人的图片"},
      {"desktop.images.blocked", "为保护隐私，已阻止 %d 张远程图片。"},
      {"desktop.images.load_once", "显示图片"},
      {"desktop.link.not_found", "链接指向的邮件不在此邮箱中。"},
      {"desktop.menu.go", "前往"},
      {"desktop.menu.help", "帮助"},
      {"desktop.menu.message", "邮件"},
      {"desktop.menu.view", "视图"},
      {"desktop.no_subject", "（无主题）"},
      {"desktop.note", "备注："},
      {"desktop.palette.filter", "输入以筛选"},
      {"desktop.priority.high", "高"},
      {"desktop.priority.urgent", "紧急"},
      {"desktop.privacy.injection", "AI 警告：%@"},
      {"desktop.privacy.link", "可疑链接（%@）：%@"},
      {"desktop.privacy.trackers", "已阻止 %d 个追踪器"},
      {"desktop.reading.empty", "未选择邮件"},
      {"desktop.search.placeholder", "搜索 (/)  from: subject: is:unread has:attachment"},
      {"desktop.status.count", "%d 封邮件"},
      {"desktop.toast.archived", "已归档 %d 封"},
      {"desktop.toast.moved", "已移动 %d 封"},
      {"desktop.toast.spam", "已将 %d 封标记为垃圾邮件"},
      {"desktop.toast.trashed", "已将 %d 封移到废纸篓"},
      {"desktop.toast.undone", "已撤销"},
      {"desktop.tray.unread", "Kestrova：%d 封未读"},
      {"desktop.undo", "撤销"},
      {"desktop.view.action_items", "待办事项"},
      {"desktop.view.priority", "AI 优先"},
      {"desktop.view.reply_later", "稍后回复"},
      {"desktop.view.snoozed", "已延后"},
      {"desktop.view.starred", "星标邮件"},
      {"desktop.view.unified_inbox", "全部收件箱"},
      {"desktop.view.waiting_on", "等待回复"},
      // issue 35 (command-line changes through the journal, English texts, AI, proxy).
      {"cli.spam.no_folder", "找不到垃圾邮件文件夹（账户 %@）"},
      {"cli.changes.pending",
       "%d 项更改已保存在本地，等待同步到邮件服务器（%@）。运行中的服务（kestrova "
       "run）或下一个邮件命令会再次发送。"},
      {"ai.issue.endpoint",
       "AI 场景「%@」当前使用的服务「%@」还没有配置 API Endpoint。请到设置里的「AI "
       "与模型」补充服务地址。"},
      {"ai.issue.model",
       "AI 场景「%@」当前使用的服务「%@」还没有选择模型。请到设置里的「AI "
       "与模型」选择或填写模型。"},
      {"ai.issue.api_key",
       "AI 场景「%@」当前使用的服务「%@」还没有填写 API Key。翻译、摘要、AI 排版等功能需要可用的 "
       "AI 服务后才能工作。"},
      {"ai.hint.no_profile",
       "还没有 AI 服务配置。翻译、摘要、AI 排版等功能需要先在「AI 与模型」里添加服务。"},
      {"ai.hint.ollama",
       "当前默认 AI 服务是「%@」。如果没有启动本地 Ollama，或模型「%@」还没下载，翻译/摘要/AI "
       "排版会失败；也可以在「AI 与模型」里配置云端服务并填写 API Key。"},
      {"ai.error.local_service",
       "%@失败：当前使用的是本地 AI 服务「%@」。请确认 Ollama "
       "已启动、模型「%@」已下载，或在设置里的「AI 与模型」配置云端服务/API Key "
       "后设为默认。原始错误：%@"},
      {"ai.error.api_key",
       "%@失败：当前 AI 服务「%@」缺少 API Key。请到设置里的「AI 与模型」填写 API Key "
       "并测试连接。"},
      {"ai.error.failed", "%@失败：%@。请到设置里的「AI 与模型」测试当前服务「%@」。"},
      {"ai.action.summary", "邮件摘要"},
      {"ai.action.tags", "邮件标签"},
      {"ai.action.priority", "优先级判断"},
      {"ai.action.actions", "待办提取"},
      {"ai.action.translate", "邮件翻译"},
      {"ai.action.layout", "排版优化"},
      {"ai.action.polish", "邮件润色"},
      {"ai.action.rule_create", "规则生成"},
      {"ai.action.rule_edit", "规则修改"},
      {"ai.action.chat", "AI 对话"},
      {"ai.profile.migrated", "默认配置（已迁移）"},
      {"ai.profile.legacy", "兼容配置（旧版）"},
      {"ai.profile.unnamed", "未命名服务"},
      {"ai.protocol.dashscope", "阿里云 DashScope"},
      {"ai.protocol.ollama", "Ollama (本地)"},
      {"ai.protocol.zhipu_ai", "智谱 AI"},
      {"ai.protocol.minimax_cn", "MiniMax (国内)"},
      {"ai.protocol.minimax_global", "MiniMax (国际)"},
      {"ai.protocol.moonshot", "月之暗面 Kimi"},
      {"ai.protocol.doubao", "字节豆包 (火山方舟)"},
      {"ai.protocol.stepfun", "阶跃星辰 StepFun"},
      {"ai.protocol.xiaomi", "小米大模型"},
      {"ai.protocol.custom", "自定义（中转站）"},
      {"cli.ai.endpoint_answers", "✓ %@: %@ 有回应（%@）"},
      {"cli.ai.endpoint_silent", "✗ %@: %@ 没有回应（%@）"},
      {"ai.answer_language", "请用中文回答。"},
      {"cli.did_you_mean", "您是不是想用: %@"},
      {"status.failing.changes", "  失败 %d 项: %@ %@（最多尝试 %d 次）— %@"},
      {"status.failing.more", "  另有 %d 类失败（详见日志）"},
      {"cli.open.not_a_link", "不是有效的 kestrova:// 链接: %@"},
      {"cli.noun.scheduled", "定时邮件"},
      {"cli.send.past_time", "发送时间 %@ 已经过去，邮件将立即发送。继续吗"},
      {"cli.search.unclosed_quote", "查询中的引号没有闭合（短语要用一对 \" 括起来）"},
      // Original sources kept for imported and local mail, and whole-message export.
      {"message.source.missing",
       "这封邮件的原始内容没有保存在本机，服务器上也没有它的副本，无法导出或显示原文"},
      {"message.source.unavailable", "无法从服务器读取这封邮件的原始内容: %@"},
      // Service safety: connection errors in words, the connection test, `kestrova run` events.
      {"mail.connect.refused",
       "无法连接 %@:%d: 连接被拒绝（该端口上没有服务在监听，请检查服务器地址和端口）"},
      {"mail.connect.no_route", "无法连接 %@:%d: 没有到达该主机的网络路由，请检查网络连接"},
      {"mail.connect.failed", "无法连接 %@:%d: %@"},
      {"mail.connect.name_not_found", "找不到服务器 %@: 该主机名不存在，请检查服务器地址"},
      {"mail.connect.lookup_failed", "无法解析服务器 %@: %@"},
      {"mail.connect.timed_out", "连接 %@:%d 超时（%@内没有回应）"},
      {"mail.seconds", "%@ 秒"},
      {"mail.timeout.greeting", "等待服务器问候超时（%@内没有收到任何数据）"},
      {"mail.timeout.answer", "等待服务器应答超时（%@内没有收到任何数据）"},
      {"mail.timeout.handshake", "等待服务器TLS 握手超时（%@内没有收到任何数据）"},
      {"mail.hint.needs_tls",
       "；该端口可能要求 SSL/TLS（IMAP 通常 993，SMTP 通常 465），请检查端口与加密方式是否匹配"},
      {"mail.hint.no_tls",
       "；服务器可能没有在该端口使用 SSL/TLS（不加密或 STARTTLS 的端口通常是 IMAP 143、SMTP "
       "587/25），请检查端口与加密方式是否匹配"},
      {"mail.tls.handshake_failed", "TLS 握手失败: %@"},
      {"mail.certificate.untrusted",
       "%@ 的证书未通过验证: %@；证书的 SHA-256 指纹 %@；如确认它属于该服务器，可运行: %@"},
      {"mail.certificate.reason.separator", "、"},
      {"mail.certificate.reason.expired", "证书已过期"},
      {"mail.certificate.reason.not_activated", "证书尚未生效"},
      {"mail.certificate.reason.unknown_issuer", "颁发者不受信任，自签名或来自未知的证书颁发机构"},
      {"mail.certificate.reason.signer_not_ca", "颁发者不是证书颁发机构"},
      {"mail.certificate.reason.name_mismatch", "证书上的名称与主机名不符"},
      {"mail.certificate.reason.revoked", "证书已被吊销"},
      {"mail.certificate.reason.insecure_algorithm", "证书使用了不安全的签名算法"},
      {"mail.certificate.reason.bad_signature", "证书签名无效"},
      {"mail.certificate.reason.invalid", "证书无效"},
      {"mail.test.stage.imap", "接收服务器 (IMAP)"},
      {"mail.test.stage.smtp", "发送服务器 (SMTP)"},
      {"mail.test.cannot_create.imap", "无法创建 IMAP 会话，请检查配置是否正确"},
      {"mail.test.cannot_create.smtp", "无法创建 SMTP 会话，请检查配置是否正确"},
      {"mail.test.connect_failed", "%@ 连接失败: %@"},
      {"mail.test.login_failed", "%@ 登录失败: %@"},
      {"mail.test.success", "连接和登录成功"},
      {"mail.test.passed", "IMAP 与 SMTP 均已通过"},
      {"mail.test.failed", "连接失败，请查看详细阶段信息"},
      {"service.event.started", "Kestrova 服务已启动 (pid %d)，日志: %@"},
      {"service.event.account_connected", "账号 %@ 已连接"},
      {"service.event.account_failed", "账号 %@ 连接失败（详见日志）"},
      {"service.event.new_messages", "账号 %@ 收到 %d 封新邮件"},
      {"service.event.stopped", "Kestrova 服务已停止"},
      // wt-uid-gaps: UIDs checked against a renumbered folder before every command
      {"mail.renumbered.message_unknown",
       "文件夹「%@」已在服务器上重新编号，其中找不到这封邮件；未做任何更改，请先同步该文件夹"},
      {"mail.renumbered.retry", "文件夹已在服务器上重新编号，这些更改将按新的编号重试"},
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

namespace {

// Copies " NOUN" of `rest` when it starts with the plural of a counted noun of the tables,
// leaving its final "s" behind; returns how many characters of `rest` were consumed (0 when
// it is no such plural, so nothing was copied).
size_t singular_skip_into(std::string_view rest, std::string& out) {
  static constexpr std::string_view kNouns[] = {"messages", "changes", "items",    "times",
                                                "folders",  "rules",   "accounts", "attempts",
                                                "tags",     "contacts"};
  if (!rest.starts_with(' ')) return 0;
  for (std::string_view noun : kNouns) {
    if (!rest.substr(1).starts_with(noun)) continue;
    const std::string_view after = rest.substr(1 + noun.size());
    if (!after.empty() && std::isalpha(static_cast<unsigned char>(after.front()))) continue;
    out.push_back(' ');
    out.append(noun.substr(0, noun.size() - 1));
    return 1 + noun.size();
  }
  return 0;
}

}  // namespace

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
    if (next >= args.size()) {
      out.append(pattern.substr(i, 2));
      ++i;
      continue;
    }
    const std::string& value = args[next++];
    out.append(value);
    ++i;
    // English: a count of one takes the singular of the noun after it ("1 message").
    if (kind == 'd' && value == "1" && current_language == TextLanguage::english)
      i += singular_skip_into(pattern.substr(i + 1), out);
  }
  return out;
}

}  // namespace kestrova
