// `kestrova send`: one message through the account's SMTP server, with the session opened
// by EmailService. Prints the Message-ID the message went out with.

#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/account_book.h"
#include "app/cli/command_line.h"
#include "mail/email_service.h"
#include "mail/libetpan_smtp_session.h"
#include "platform/content_type.h"
#include "store/contact_store.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/log.h"
#include "util/text.h"

namespace kestrova::app {

namespace {

struct SendOptions {
  std::string account;
  std::vector<std::string> to, cc, bcc;
  std::string subject;
  std::string body;
  std::string bodyFile;
  std::string htmlFile;
  std::vector<std::string> attachments;
  bool readReceipt = false;
  CLI::Option *bodyOption = nullptr, *bodyFileOption = nullptr;
};

std::string read_file(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) throw Error("无法读取文件: " + path.string());
  std::ifstream in(path, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) throw Error("无法读取文件: " + path.string());
  return content;
}

// Blank entries (a trailing comma, an empty argument) are not recipients.
std::vector<std::string> addresses(const std::vector<std::string>& given) {
  std::vector<std::string> result;
  for (const auto& entry : given)
    if (auto address = text::trim(entry); !address.empty()) result.push_back(std::move(address));
  return result;
}

std::optional<std::vector<std::string>> optional_list(std::vector<std::string> list) {
  if (list.empty()) return std::nullopt;
  return list;
}

void send(const SendOptions& o) {
  const auto to = addresses(o.to);
  if (to.empty()) throw Error("至少需要一个收件人（--to）");
  if (!o.bodyOption->count() && !o.bodyFileOption->count())
    throw Error("需要正文: 用 --body 或 --body-file 给出");

  // Every file is read before anything goes over the network.
  const std::string body = o.bodyFileOption->count() ? read_file(o.bodyFile) : o.body;
  std::optional<std::string> html;
  if (!o.htmlFile.empty()) html = read_file(o.htmlFile);
  std::vector<mail::OutgoingAttachment> attachments;
  for (const auto& file : o.attachments) {
    const std::filesystem::path path(file);
    std::string data = read_file(path);
    const std::string name = path.filename().string();
    std::string type = platform::guess_mime_type(name, data);
    attachments.push_back({std::move(data), name, std::move(type)});
  }

  AccountBook book;
  const store::EmailAccount account = o.account.empty() ? book.defaultAccount() : book.find(o.account);
  auto& service = mail::EmailService::shared();
  auto session = service.openSMTPSession(account, service.storedPassword(account));

  mail::LibEtPanError error;
  std::string messageId;
  const bool sent = session->sendMessageTo(
      to, optional_list(addresses(o.cc)), optional_list(addresses(o.bcc)), o.subject, body, html,
      attachments.empty() ? std::nullopt : std::optional(std::move(attachments)), o.readReceipt,
      &error, &messageId);
  session->disconnect();
  if (!sent) throw Error("发送失败: " + error.localizedDescription);
  // The address book learns who the user writes to.
  store::EmailMessage written;
  for (const auto& list :
       {std::pair{&written.to, &o.to}, {&written.cc, &o.cc}, {&written.bcc, &o.bcc}})
    for (const auto& address : addresses(*list.second))
      list.first->push_back({std::nullopt, address});
  store::ContactStore(book.store().database()).learn_from_sent(written);
  std::cout << "已发送: " << account.emailAddress << "\n";
  std::cout << "Message-ID: " << messageId << "\n";
}

}  // namespace

void add_send_command(CLI::App& root) {
  auto* command = root.add_subcommand("send", "Send one message through an account's SMTP server");
  auto o = std::make_shared<SendOptions>();
  command->add_option("--account", o->account, "Account id or address (default: the default account)");
  command->add_option("--to", o->to, "Recipients (repeat, or separate with commas)")->delimiter(',');
  command->add_option("--cc", o->cc, "Copy recipients")->delimiter(',');
  command->add_option("--bcc", o->bcc, "Blind copy recipients (named nowhere in the message)")->delimiter(',');
  command->add_option("--subject", o->subject, "Subject")->required();
  o->bodyOption = command->add_option("--body", o->body, "Plain-text body");
  o->bodyFileOption = command->add_option("--body-file", o->bodyFile, "File holding the plain-text body");
  o->bodyOption->excludes(o->bodyFileOption);
  command->add_option("--html-file", o->htmlFile, "File holding an HTML alternative of the body");
  command->add_option("--attach", o->attachments, "Files to attach (repeat for several)");
  command->add_flag("--read-receipt", o->readReceipt, "Ask for a read receipt");
  command->callback([o] { send(*o); });
}

}  // namespace kestrova::app
