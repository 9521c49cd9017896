#include "mail/libetpan_imap_session.h"

#include <libetpan/condstore.h>
#include <libetpan/enable.h>
#include <libetpan/libetpan.h>
#include <libetpan/qresync.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include "mail/broken_pipe.h"
#include "mail/email_content_decoder.h"
#include "mail/mail_proxy_settings.h"
#include "mail/mail_transport.h"
#include "mail/modified_utf7.h"
#include "platform/thread_priority.h"
#include "util/c_free.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"

namespace kestrova::mail {

namespace {

using SetPtr = CHandle<mailimap_set, mailimap_set_free>;
using FetchTypePtr = CHandle<mailimap_fetch_type, mailimap_fetch_type_free>;
using FetchAttPtr = CHandle<mailimap_fetch_att, mailimap_fetch_att_free>;
using SearchKeyPtr = CHandle<mailimap_search_key, mailimap_search_key_free>;
using FlagPtr = CHandle<mailimap_flag, mailimap_flag_free>;
using FlagListPtr = CHandle<mailimap_flag_list, mailimap_flag_list_free>;
using StoreAttPtr = CHandle<mailimap_store_att_flags, mailimap_store_att_flags_free>;
using FetchResultPtr = CHandle<clist, mailimap_fetch_list_free>;
using SearchResultPtr = CHandle<clist, mailimap_search_result_free>;
using ListResultPtr = CHandle<clist, mailimap_list_result_free>;
using SectionPartPtr = CHandle<mailimap_section_part, mailimap_section_part_free>;
using SectionPtr = CHandle<mailimap_section, mailimap_section_free>;

using HeaderListPtr = CHandle<mailimap_header_list, mailimap_header_list_free>;

// A clist of malloc'd items (section numbers, header names) until a libetpan constructor
// takes it.
void free_malloced_list(clist* items) {
  clist_foreach(
      items, [](void* data, void*) { std::free(data); }, nullptr);
  clist_free(items);
}
using MallocedListPtr = CHandle<clist, free_malloced_list>;

constexpr std::string_view kImapComponent = "LibEtPan IMAP";
constexpr std::string_view kComponent = "LibEtPan";

// Searches returning more UIDs than this get a warning that sorting them takes a while.
constexpr size_t kLargeSearchResult = 1000;

void log_event(std::string_view emoji, std::string_view message) {
  log_line(emoji, kComponent, message);
}

// The codes of commands the server answered with NO, BAD or BYE (as opposed to a broken
// connection, a parse failure or a call out of order).
bool is_server_refusal(int code) {
  return code >= MAILIMAP_ERROR_FATAL && code <= MAILIMAP_ERROR_STARTTLS;
}

LibEtPanFailure fail(LibEtPanError* error, int code, std::string description) {
  LibEtPanError failure;
  failure.code = code;
  failure.localizedDescription = std::move(description);
  set_error(error, std::move(failure));
  return {};
}

// A failed operation's label in the interface language. The call sites name each operation
// by its Chinese label, which the log lines use as they stand.
std::string shown_label(std::string_view label) {
  static const std::unordered_map<std::string_view, std::string_view> keys = {
      {"连接失败", "mail.imap.failed.connect"},
      {"登录失败", "mail.imap.failed.login"},
      {"选择文件夹失败", "mail.imap.failed.select"},
      {"获取文件夹列表失败", "mail.imap.failed.list"},
      {"搜索邮件失败", "mail.imap.failed.search"},
      {"获取邮件失败", "mail.imap.failed.fetch"},
      {"获取邮件头失败", "mail.imap.failed.fetch_header"},
      {"批量获取邮件头失败", "mail.imap.failed.fetch_headers"},
      {"获取邮件正文失败", "mail.imap.failed.fetch_body"},
      {"批量获取邮件正文失败", "mail.imap.failed.fetch_bodies"},
      {"获取邮件大小失败", "mail.imap.failed.fetch_size"},
      {"抓取附件 part 失败", "mail.imap.failed.fetch_part"},
      {"获取邮件标识失败", "mail.imap.failed.fetch_flags"},
      {"标记为已读失败", "mail.imap.failed.mark_read"},
      {"标记为未读 失败", "mail.imap.failed.mark_unread"},
      {"添加星标 失败", "mail.imap.failed.star"},
      {"移除星标 失败", "mail.imap.failed.unstar"},
      {"批量设置标记失败", "mail.imap.failed.store_flags"},
      {"EXPUNGE 失败", "mail.imap.failed.expunge"},
      {"MOVE 失败", "mail.imap.failed.move"},
      {"COPY 失败", "mail.imap.failed.copy"},
      {"IDLE 失败", "mail.imap.failed.idle"},
      {"IDLE DONE 失败", "mail.imap.failed.idle_done"},
      {"重命名文件夹失败", "mail.imap.failed.rename"},
      {"删除文件夹失败", "mail.imap.failed.delete_folder"},
      {"保存邮件失败", "mail.imap.failed.append"},
  };
  const auto key = keys.find(label);
  return key == keys.end() ? std::string(label) : localized(key->second);
}

// libetpan could not allocate the request of the operation `label` names.
LibEtPanFailure out_of_memory(LibEtPanError* error, std::string_view label) {
  return fail(error, MAILIMAP_ERROR_MEMORY,
              shown_label(label) + ": " + std::to_string(MAILIMAP_ERROR_MEMORY));
}

bool require_session(const mailimap* imap, LibEtPanError* error) {
  if (imap) return true;
  return fail(error, -1, localized("mail.imap.no_session"));
}

template <typename Number>
std::string str(Number value) {
  return std::to_string(value);
}

// Whether a connect result means "connected": OK greeting or plain success. A PREAUTH
// greeting (MAILIMAP_NO_ERROR_AUTHENTICATED) is refused, as LOGIN would then be out of order.
bool connected(int result) {
  return result == MAILIMAP_NO_ERROR || result == MAILIMAP_NO_ERROR_NON_AUTHENTICATED;
}

// Reports the user's mail proxy; the transport connects through it (mail/mail_transport.h).
void log_proxy_settings() {
  const MailProxySettings proxy = MailProxySettings::load();
  if (!proxy.enabled) {
    log_line("⚠️", kImapComponent, "代理未启用");
    return;
  }
  log_line("📡", kImapComponent, "代理已启用: " + proxy.url());
}

// The UIDs of a UID SEARCH result (a list of uint32_t*).
std::vector<uint32_t> uids_of_search(const clist* result) {
  std::vector<uint32_t> uids;
  if (!result) return uids;
  for (clistiter* cell = clist_begin(const_cast<clist*>(result)); cell; cell = clist_next(cell)) {
    if (auto* uid = static_cast<const uint32_t*>(clist_content(cell))) uids.push_back(*uid);
  }
  return uids;
}

template <typename F>
void for_each_message(const clist* messages, F&& visit) {
  if (!messages) return;
  for (clistiter* cell = clist_begin(const_cast<clist*>(messages)); cell; cell = clist_next(cell)) {
    if (auto* message = static_cast<const mailimap_msg_att*>(clist_content(cell))) visit(message);
  }
}

// Calls `visit` with every fixed (non-FLAGS) item of every message, until it returns true.
template <typename F>
bool find_static_item(const clist* messages, F&& visit) {
  bool found = false;
  for_each_message(messages, [&](const mailimap_msg_att* message) {
    if (found || !message->att_list) return;
    for (clistiter* cell = clist_begin(message->att_list); cell && !found; cell = clist_next(cell)) {
      auto* item = static_cast<const mailimap_msg_att_item*>(clist_content(cell));
      if (item && item->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC && item->att_data.att_static) {
        found = visit(item->att_data.att_static);
      }
    }
  });
  return found;
}

uint32_t uid_of(const mailimap_msg_att* message) {
  uint32_t uid = 0;
  if (!message->att_list) return uid;
  for (clistiter* cell = clist_begin(message->att_list); cell; cell = clist_next(cell)) {
    auto* item = static_cast<const mailimap_msg_att_item*>(clist_content(cell));
    if (item && item->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC && item->att_data.att_static &&
        item->att_data.att_static->att_type == MAILIMAP_MSG_ATT_UID) {
      uid = item->att_data.att_static->att_data.att_uid;
    }
  }
  return uid;
}

// UID FETCH and UID SEARCH (RFC 3501 §6.4.8) with the answer in an owning handle; the
// libetpan result code.
int uid_fetch(mailimap* imap, mailimap_set* set, mailimap_fetch_type* type,
              FetchResultPtr& answer) {
  clist* raw = nullptr;
  platform::lower_thread_to_utility_priority();
  const int result = mailimap_uid_fetch(imap, set, type, &raw);
  answer.reset(raw);
  return result;
}

int uid_search(mailimap* imap, const char* charset, mailimap_search_key* key,
               SearchResultPtr& answer) {
  clist* raw = nullptr;
  platform::lower_thread_to_utility_priority();
  const int result = mailimap_uid_search(imap, charset, key, &raw);
  answer.reset(raw);
  return result;
}

// Sorts highest UID first and keeps the first `limit` (all when 0).
std::vector<ImapUidEntry> newest_first(std::vector<uint32_t> uids, uint64_t limit) {
  std::sort(uids.begin(), uids.end(), std::greater<>());
  if (limit != 0 && uids.size() > limit) uids.resize(static_cast<size_t>(limit));
  std::vector<ImapUidEntry> entries;
  entries.reserve(uids.size());
  for (uint32_t uid : uids) entries.push_back(ImapUidEntry{uid});
  return entries;
}

// A fetch type holding the given attributes; null when libetpan cannot allocate.
FetchTypePtr fetch_type_of(std::initializer_list<mailimap_fetch_att*> attributes) {
  std::vector<FetchAttPtr> owned;
  for (mailimap_fetch_att* att : attributes) owned.emplace_back(att);
  FetchTypePtr type(mailimap_fetch_type_new_fetch_att_list_empty());
  if (!type) return nullptr;
  for (FetchAttPtr& att : owned) {
    if (!att) return nullptr;
    if (mailimap_fetch_type_new_fetch_att_list_add(type.get(), att.get()) != MAILIMAP_NO_ERROR) {
      return nullptr;
    }
    att.release();  // now owned by the fetch type
  }
  return type;
}

SetPtr single_uid_set(uint32_t uid) { return SetPtr(mailimap_set_new_single(uid)); }

// BODY.PEEK[HEADER.FIELDS (...)] (RFC 3501 §6.4.5) of the fields that identify a message
// and tell whether it was sent automatically (RFC 3834 Auto-Submitted, Precedence, RFC 2919
// List-Id), without setting \Seen. Null when libetpan cannot allocate.
mailimap_fetch_att* message_id_header_att() {
  MallocedListPtr names(clist_new());
  if (!names) return nullptr;
  for (const char* field : {"MESSAGE-ID", "AUTO-SUBMITTED", "PRECEDENCE", "LIST-ID",
                            "LIST-UNSUBSCRIBE", "RETURN-PATH", "X-AUTOREPLY", "X-AUTORESPOND"}) {
    char* name = strdup(field);
    if (!name || clist_append(names.get(), name) != 0) {
      std::free(name);
      return nullptr;
    }
  }
  HeaderListPtr list(mailimap_header_list_new(names.get()));
  if (!list) return nullptr;
  names.release();
  SectionPtr section(mailimap_section_new_header_fields(list.get()));
  if (!section) return nullptr;
  list.release();
  mailimap_fetch_att* att = mailimap_fetch_att_new_body_peek_section(section.get());
  if (att) section.release();
  return att;
}

// RFC 3501 §6.4.6 UID STORE with +FLAGS / -FLAGS (the form that answers with FETCH).
// Nothing when libetpan cannot allocate the request.
mailimap_flag* flag_named(std::string_view name) {
  auto system_flag = [&](std::string_view system) {
    if (name.size() != system.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(name[i])) != system[i]) return false;
    }
    return true;
  };
  if (system_flag("\\seen")) return mailimap_flag_new_seen();
  if (system_flag("\\flagged")) return mailimap_flag_new_flagged();
  if (system_flag("\\deleted")) return mailimap_flag_new_deleted();
  if (system_flag("\\answered")) return mailimap_flag_new_answered();
  if (system_flag("\\draft")) return mailimap_flag_new_draft();
  if (name.starts_with('\\')) {
    return mailimap_flag_new_flag_extension(strndup(name.data() + 1, name.size() - 1));
  }
  return mailimap_flag_new_flag_keyword(strndup(name.data(), name.size()));
}

std::optional<int> uid_store_flag(mailimap* imap, mailimap_set* set, std::string_view name,
                                  int sign) {
  FlagPtr flag(flag_named(name));
  FlagListPtr flags(mailimap_flag_list_new_empty());
  if (!flag || !flags) return std::nullopt;
  if (mailimap_flag_list_add(flags.get(), flag.get()) != MAILIMAP_NO_ERROR) return std::nullopt;
  flag.release();
  StoreAttPtr store(sign < 0 ? mailimap_store_att_flags_new_remove_flags(flags.get())
                             : mailimap_store_att_flags_new_add_flags(flags.get()));
  if (!store) return std::nullopt;
  flags.release();
  platform::lower_thread_to_utility_priority();
  return mailimap_uid_store(imap, set, store.get());
}

// A set of the given UIDs (one range per run of consecutive UIDs); null when libetpan
// cannot allocate.
SetPtr uid_set_of(std::vector<uint32_t> uids) {
  std::sort(uids.begin(), uids.end());
  SetPtr set(mailimap_set_new_empty());
  if (!set) return nullptr;
  for (size_t i = 0; i < uids.size();) {
    size_t j = i;
    while (j + 1 < uids.size() && uids[j + 1] <= uids[j] + 1) ++j;
    if (mailimap_set_add_interval(set.get(), uids[i], uids[j]) != MAILIMAP_NO_ERROR) return nullptr;
    i = j + 1;
  }
  return set;
}

std::optional<int> uid_store_flag(mailimap* imap, uint32_t uid, std::string_view name, int sign) {
  SetPtr set = single_uid_set(uid);
  if (!set) return std::nullopt;
  return uid_store_flag(imap, set.get(), name, sign);
}

// "yyyy-MM-dd HH:mm:ss +0000", how dates read in our logs.
std::string log_date(std::chrono::system_clock::time_point date) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
  return text;
}

// RFC 3501 §6.4.4 SINCE takes a date without time; the user means their own day.
mailimap_search_key* since_key(std::chrono::system_clock::time_point date) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
  std::tm local{};
  localtime_r(&seconds, &local);
  mailimap_date* day = mailimap_date_new(local.tm_mday, local.tm_mon + 1, local.tm_year + 1900);
  if (!day) return nullptr;
  mailimap_search_key* key = mailimap_search_key_new_since(day);
  if (!key) mailimap_date_free(day);
  return key;
}

// "2" or "1.2": dot-separated section numbers, each at least 1 (RFC 3501 §6.4.5).
std::optional<std::vector<uint32_t>> parse_part_path(std::string_view path) {
  std::vector<uint32_t> numbers;
  size_t start = 0;
  while (true) {
    const size_t dot = path.find('.', start);
    const std::string_view piece = path.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (piece.empty() || piece.size() > 10) return std::nullopt;
    uint64_t value = 0;
    for (char c : piece) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value < 1 || value > UINT32_MAX) return std::nullopt;
    numbers.push_back(static_cast<uint32_t>(value));
    if (dot == std::string_view::npos) return numbers;
    start = dot + 1;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Life cycle

std::unique_ptr<LibEtPanIMAPSession> LibEtPanIMAPSession::initWithHost(std::string host,
                                                                      int64_t port,
                                                                      std::string encryption,
                                                                      std::string username,
                                                                      std::string password) {
  ignore_broken_pipe_signal();
  mailimap* imap = mailimap_new(0, nullptr);
  if (!imap) return nullptr;
  return std::unique_ptr<LibEtPanIMAPSession>(
      new LibEtPanIMAPSession(imap, std::move(host), port, std::move(encryption),
                              std::move(username), std::move(password)));
}

LibEtPanIMAPSession::LibEtPanIMAPSession(mailimap* imap, std::string host, int64_t port,
                                         std::string encryption, std::string username,
                                         std::string password)
    : imap_(imap),
      host_(std::move(host)),
      port_(port),
      encryption_(std::move(encryption)),
      username_(std::move(username)),
      password_(std::move(password)),
      timeout_(MailTransport::kDefaultTimeout) {}

LibEtPanIMAPSession::~LibEtPanIMAPSession() { disconnect(); }

void LibEtPanIMAPSession::noteParseFailure(int code) const {
  if (code == MAILIMAP_ERROR_PARSE && transport_) transport_->abandonUnreadable();
}

LibEtPanFailure LibEtPanIMAPSession::fail(LibEtPanError* error, int code,
                                          std::string description) const {
  noteParseFailure(code);
  if (transport_) {
    if (auto problem = transport_->problem())
      description += localized_format("mail.error.detail", problem->text);
    else if (auto refusal = transport_->refusal(); refusal && is_server_refusal(code))
      description += localized_format("mail.error.server_said", *refusal);
  }
  return kestrova::mail::fail(error, code, std::move(description));
}

LibEtPanFailure LibEtPanIMAPSession::commandFailed(LibEtPanError* error, int code,
                                                   std::string_view logged,
                                                   std::string_view label) const {
  log_event("❌", std::string(logged) + str(code));
  return fail(error, code, shown_label(label) + ": " + str(code));
}

void LibEtPanIMAPSession::HandleRelease::operator()(mailimap* imap) const {
  if (!imap) return;
  if (imap->imap_stream) {
    platform::lower_thread_to_utility_priority();
    mailimap_logout(imap);
  }
  mailimap_free(imap);
}

void LibEtPanIMAPSession::disconnect() { imap_.reset(); }

bool LibEtPanIMAPSession::reconnect(LibEtPanError* error) {
  const std::optional<std::string> folder = selectedName_;
  const std::optional<ImapSelectedFolder> before = selectedFolder();
  disconnect();
  imap_.reset(mailimap_new(0, nullptr));
  if (!imap_) return out_of_memory(error, "连接失败");
  capabilitiesAsked_ = false;
  qresyncEnabled_ = false;
  selectedName_.reset();
  log_event("🔁", "应答无法解析，重新连接");
  if (!connectWithError(error) || !loginWithError(error)) return false;
  if (!folder) return true;
  if (!selectFolder(*folder, error)) return false;
  const std::optional<ImapSelectedFolder> after = selectedFolder();
  if (before && after && before->uidValidity != after->uidValidity)
    return fail(error, -1, localized_format("mail.imap.uidvalidity_changed", *folder));
  return true;
}

// ---------------------------------------------------------------------------------------
// Connection and login

bool LibEtPanIMAPSession::connectWithError(LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  log_proxy_settings();
  log_line("🔌", kImapComponent,
           "尝试连接: " + host_ + " 端口 " + str(port_) + " 加密方式 " + encryption_);

  platform::lower_thread_to_utility_priority();
  const int result = openConnection();
  if (!connected(result)) {
    // Why the connection failed, in words, when the transport knows; else the code.
    if (auto problem = transport_ ? transport_->problem() : std::nullopt) {
      log_event("❌", "IMAP 连接失败，错误代码: " + str(result));
      return kestrova::mail::fail(error, result, problem->text);
    }
    return commandFailed(error, result, "IMAP 连接失败，错误代码: ", "连接失败");
  }
  transport_->setTimeout(timeout_);  // the answers after the greeting get the full limit
  log_event("✅", "IMAP 连接成功");
  return true;
}

int LibEtPanIMAPSession::openConnection() {
  const bool implicitTls = encryption_ == "ssl";
  CertificateTrust trust = trust_;
  if (trust.trustCommand.empty())
    trust.trustCommand = AccountCertificateTrust::trustCommandFor("ACCOUNT", true);
  transport_ = std::make_unique<MailTransport>(
      MailProtocol::imap, host_, static_cast<uint16_t>(port_ & 0xFFFF),
      greetingTimeout_.value_or(timeout_), std::move(trust));
  mailstream* stream = transport_->open(implicitTls);
  if (!stream) return transport_->tlsFailed() ? MAILIMAP_ERROR_SSL : MAILIMAP_ERROR_CONNECTION_REFUSED;
  // Takes the stream, and closes it when the greeting fails.
  int result = mailimap_connect(imap_.get(), stream);
  if (encryption_ != "startTLS" || !connected(result)) return result;
  // RFC 3501 §6.2.1: STARTTLS comes before any authentication, right after the greeting.
  result = mailimap_starttls(imap_.get());
  if (result != MAILIMAP_NO_ERROR) return result;
  if (transport_->startTls(imap_->imap_stream)) return MAILIMAP_NO_ERROR;
  const auto problem = transport_->problem();
  return problem && problem->kind == TransportProblem::Kind::certificate ? MAILIMAP_ERROR_SSL
                                                                         : MAILIMAP_ERROR_STREAM;
}

bool LibEtPanIMAPSession::loginWithError(LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  log_event("🔐", "尝试登录 IMAP，用户名: " + username_);
  platform::lower_thread_to_utility_priority();
  // XOAUTH2 (the bearer token in one SASL initial response); libetpan answers a failure's
  // JSON challenge with the empty line the mechanism asks for.
  const int result = oauth2AccessToken_
                         ? mailimap_oauth2_authenticate(imap_.get(), username_.c_str(),
                                                        oauth2AccessToken_->c_str())
                         : mailimap_login(imap_.get(), username_.c_str(), password_.c_str());
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result, "IMAP 登录失败，错误代码: ", "登录失败");
  }
  log_event("✅", "IMAP 登录成功");
  return true;
}

// ---------------------------------------------------------------------------------------
// Folders

bool LibEtPanIMAPSession::selectFolder(std::string_view folder, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  const std::string wire = imap_wire_folder_name(folder);
  platform::lower_thread_to_utility_priority();
  const int result = mailimap_select(imap_.get(), wire.c_str());
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(
        error, result, "选择文件夹失败: " + std::string(folder) + ", 错误代码: ", "选择文件夹失败");
  }
  log_event("✅", "选择文件夹成功: " + std::string(folder));
  selectedName_ = std::string(folder);
  return true;
}

namespace {

// The UIDs of a VANISHED answer; ranges are expanded up to a bound, the rest is dropped
// (a caller that gets fewer UIDs than were expunged compares UID sets instead).
std::vector<uint32_t> uids_of_set(const mailimap_set* set) {
  constexpr size_t kMaxVanished = 1'000'000;
  std::vector<uint32_t> uids;
  if (!set || !set->set_list) return uids;
  for (clistiter* cell = clist_begin(set->set_list); cell; cell = clist_next(cell)) {
    auto* item = static_cast<const mailimap_set_item*>(clist_content(cell));
    if (!item) continue;
    const uint32_t first = std::min(item->set_first, item->set_last);
    const uint32_t last = std::max(item->set_first, item->set_last);
    for (uint64_t uid = first; uid <= last && uids.size() < kMaxVanished; ++uid)
      uids.push_back(static_cast<uint32_t>(uid));
  }
  return uids;
}

// RFC 5161 ENABLE QRESYNC; the libetpan result code (MAILIMAP_ERROR_MEMORY when it cannot
// allocate).
int enable_qresync(mailimap* imap) {
  clist* names = clist_new();
  if (!names) return MAILIMAP_ERROR_MEMORY;
  char* name = strdup("QRESYNC");
  struct mailimap_capability* capability =
      name ? mailimap_capability_new(MAILIMAP_CAPABILITY_NAME, nullptr, name) : nullptr;
  if (!capability) {
    std::free(name);
    clist_free(names);
    return MAILIMAP_ERROR_MEMORY;
  }
  if (clist_append(names, capability) != 0) {
    mailimap_capability_free(capability);
    clist_free(names);
    return MAILIMAP_ERROR_MEMORY;
  }
  mailimap_capability_data* wanted = mailimap_capability_data_new(names);
  if (!wanted) {
    clist_foreach(
        names,
        [](void* capability, void*) {
          mailimap_capability_free(static_cast<struct mailimap_capability*>(capability));
        },
        nullptr);
    clist_free(names);
    return MAILIMAP_ERROR_MEMORY;
  }
  mailimap_capability_data* enabled = nullptr;
  const int result = mailimap_enable(imap, wanted, &enabled);
  mailimap_capability_data_free(wanted);
  if (enabled) mailimap_capability_data_free(enabled);
  return result;
}

}  // namespace

std::optional<ImapSelectedFolder> LibEtPanIMAPSession::selectedFolder() const {
  if (!imap_ || !imap_->imap_selection_info) return std::nullopt;
  const mailimap_selection_info* info = imap_->imap_selection_info;
  ImapSelectedFolder selected;
  selected.uidValidity = info->sel_uidvalidity;
  selected.uidNext = info->sel_uidnext;
  selected.exists = info->sel_exists;
  return selected;
}

std::optional<ImapSelectedFolder> LibEtPanIMAPSession::selectFolderResyncing(
    std::string_view folder, uint32_t knownUidValidity, uint64_t knownModSeq,
    LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  const bool qresync = !resyncDisabled_ && hasCapability("QRESYNC");
  const bool condstore = !resyncDisabled_ && (qresync || hasCapability("CONDSTORE"));
  if (qresync && !qresyncEnabled_) {
    platform::lower_thread_to_utility_priority();
    const int result = enable_qresync(imap_.get());
    noteParseFailure(result);
    qresyncEnabled_ = result == MAILIMAP_NO_ERROR;
  }
  const std::string wire = imap_wire_folder_name(folder);
  platform::lower_thread_to_utility_priority();
  uint64_t modseq = 0;
  bool resynchronised = false;
  std::vector<uint32_t> vanished;
  int result = MAILIMAP_NO_ERROR;
  if (qresyncEnabled_ && knownUidValidity != 0 && knownModSeq != 0) {
    clist* changed = nullptr;
    mailimap_qresync_vanished* gone = nullptr;
    result = mailimap_select_qresync(imap_.get(), wire.c_str(), knownUidValidity, knownModSeq,
                                     nullptr, nullptr, nullptr, &changed, &gone, &modseq);
    if (changed) mailimap_fetch_list_free(changed);
    if (gone) {
      vanished = uids_of_set(gone->qr_known_uids);
      mailimap_qresync_vanished_free(gone);
    }
    resynchronised = result == MAILIMAP_NO_ERROR;
  } else if (condstore) {
    result = mailimap_select_condstore(imap_.get(), wire.c_str(), &modseq);
  } else {
    result = mailimap_select(imap_.get(), wire.c_str());
  }
  if (result != MAILIMAP_NO_ERROR) {
    commandFailed(error, result,
                  "选择文件夹失败: " + std::string(folder) + ", 错误代码: ", "选择文件夹失败");
    return std::nullopt;
  }
  log_event("✅", "选择文件夹成功: " + std::string(folder));
  selectedName_ = std::string(folder);
  auto selected = selectedFolder();
  if (!selected) return std::nullopt;
  selected->highestModSeq = modseq;
  // A changed UIDVALIDITY makes the server ignore the known state (RFC 7162 §3.2.5.1).
  selected->resynchronised = resynchronised && selected->uidValidity == knownUidValidity;
  if (selected->resynchronised) selected->vanished = std::move(vanished);
  return selected;
}

bool LibEtPanIMAPSession::createFolder(std::string_view folder, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  const std::string wire = imap_wire_folder_name(folder);
  platform::lower_thread_to_utility_priority();
  const int result = mailimap_create(imap_.get(), wire.c_str());
  if (result != MAILIMAP_NO_ERROR) {
    log_event("⚠️", "创建文件夹失败（可能已存在）: " + std::string(folder) + ", 错误代码: " + str(result));
    return fail(error, result, localized_format("mail.imap.failed.create", result));
  }
  log_event("✅", "创建文件夹成功: " + std::string(folder));
  return true;
}

bool LibEtPanIMAPSession::appendSeenMessage(std::string_view folder, std::string_view message,
                                            LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  const std::string wire = imap_wire_folder_name(folder);
  FlagPtr seen(mailimap_flag_new_seen());
  FlagListPtr flags(mailimap_flag_list_new_empty());
  if (!seen || !flags || mailimap_flag_list_add(flags.get(), seen.get()) != MAILIMAP_NO_ERROR)
    return out_of_memory(error, "保存邮件失败");
  seen.release();
  platform::lower_thread_to_utility_priority();
  const int result = mailimap_append(imap_.get(), wire.c_str(), flags.get(), nullptr,
                                     message.data(), message.size());
  if (result != MAILIMAP_NO_ERROR) {
    log_event("❌", "保存邮件失败: " + std::string(folder) + ", 错误代码: " + str(result));
    return fail(error, result, shown_label("保存邮件失败") + ": " + str(result));
  }
  log_event("✅", "已保存邮件到文件夹: " + std::string(folder));
  return true;
}

std::optional<std::vector<std::string>> LibEtPanIMAPSession::fetchFoldersWithError(
    LibEtPanError* error) {
  auto listed = fetchFoldersWithFlagsWithError(error);
  if (!listed) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(listed->size());
  for (auto& folder : *listed) names.push_back(std::move(folder.name));
  return names;
}

namespace {

std::vector<std::string> list_flags(const mailimap_mbx_list_flags* flags) {
  std::vector<std::string> out;
  if (!flags) return out;
  if (flags->mbf_type == MAILIMAP_MBX_LIST_FLAGS_SFLAG) {
    switch (flags->mbf_sflag) {
      case MAILIMAP_MBX_LIST_SFLAG_NOSELECT:
        out.emplace_back("\\Noselect");
        break;
      case MAILIMAP_MBX_LIST_SFLAG_MARKED:
        out.emplace_back("\\Marked");
        break;
      case MAILIMAP_MBX_LIST_SFLAG_UNMARKED:
        out.emplace_back("\\Unmarked");
        break;
      default:
        break;
    }
  }
  if (!flags->mbf_oflags) return out;
  for (clistiter* cell = clist_begin(flags->mbf_oflags); cell; cell = clist_next(cell)) {
    auto* flag = static_cast<const mailimap_mbx_list_oflag*>(clist_content(cell));
    if (!flag) continue;
    if (flag->of_type == MAILIMAP_MBX_LIST_OFLAG_NOINFERIORS)
      out.emplace_back("\\Noinferiors");
    else if (flag->of_flag_ext)
      out.push_back(std::string("\\") + flag->of_flag_ext);
  }
  return out;
}

}  // namespace

bool ImapListedFolder::selectable() const {
  for (const auto& flag : flags)
    if (text::equals_ci(flag, "\\Noselect") || text::equals_ci(flag, "\\NonExistent")) return false;
  return true;
}

std::optional<std::vector<ImapListedFolder>> LibEtPanIMAPSession::fetchFoldersWithFlagsWithError(
    LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  clist* raw = nullptr;
  platform::lower_thread_to_utility_priority();
  const int result = mailimap_list(imap_.get(), "", "*", &raw);
  ListResultPtr list(raw);
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result, "获取文件夹列表失败，错误代码: ", "获取文件夹列表失败");
  }
  std::vector<ImapListedFolder> folders;
  if (list) {
    for (clistiter* cell = clist_begin(list.get()); cell; cell = clist_next(cell)) {
      auto* mailbox = static_cast<const mailimap_mailbox_list*>(clist_content(cell));
      if (mailbox && mailbox->mb_name)
        folders.push_back({decode_modified_utf7(mailbox->mb_name), list_flags(mailbox->mb_flag)});
    }
  }
  log_event("✅", "获取到 " + str(folders.size()) + " 个文件夹");
  return folders;
}

// ---------------------------------------------------------------------------------------
// UID listings

std::optional<std::vector<ImapUidEntry>> LibEtPanIMAPSession::fetchMessagesFromUID(
    uint32_t fromUID, uint32_t toUID, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  SearchKeyPtr key(mailimap_search_key_new_all());
  if (!key) return out_of_memory(error, "搜索邮件失败");
  SearchResultPtr found;
  const int result = uid_search(imap_.get(), "UTF-8", key.get(), found);
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result, "搜索邮件 UID 失败，错误代码: ", "搜索邮件失败");
  }
  std::vector<ImapUidEntry> entries;
  for (uint32_t uid : uids_of_search(found.get())) {
    if (uid >= fromUID && (toUID == 0 || uid <= toUID)) entries.push_back(ImapUidEntry{uid});
  }
  log_event("✅", "找到 " + str(entries.size()) + " 封邮件");
  return entries;
}

std::optional<std::vector<ImapUidEntry>> LibEtPanIMAPSession::fetchMessagesSinceDate(
    std::optional<std::chrono::system_clock::time_point> date, uint64_t limit,
    LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  log_event("🔍", "开始搜索邮件，日期: " + (date ? log_date(*date) : std::string("(null)")) +
                ", 限制: " + str(limit));
  SearchKeyPtr key(date ? since_key(*date) : mailimap_search_key_new_all());
  if (!key) return out_of_memory(error, "搜索邮件失败");
  SearchResultPtr found;
  const int result = uid_search(imap_.get(), "UTF-8", key.get(), found);
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result, "搜索邮件 UID 失败，错误代码: ", "搜索邮件失败");
  }
  std::vector<uint32_t> uids = uids_of_search(found.get());
  const size_t total = uids.size();
  log_event("📊", "搜索到 " + str(total) + " 封邮件");
  if (total > kLargeSearchResult) {
    log_event("⚠️", "邮件数量较多(" + str(total) + "封)，排序可能需要时间...");
  }
  std::vector<ImapUidEntry> entries = newest_first(std::move(uids), limit);
  log_event("✅", "返回 " + str(entries.size()) + " 封邮件（总共: " + str(total) + ", 限制: " +
                str(limit) + "）");
  return entries;
}

std::optional<std::vector<ImapUidEntry>> LibEtPanIMAPSession::searchMessagesWithQuery(
    std::string_view query, uint64_t limit, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  if (query.empty()) {
    return fail(error, -1, localized("mail.imap.empty_query"));
  }
  log_event("🔍", "开始搜索邮件，查询: " + std::string(query) + ", 限制: " + str(limit));
  // RFC 3501 §6.4.4 TEXT matches the header and the body.
  char* text = strndup(query.data(), query.size());
  if (!text) return out_of_memory(error, "搜索邮件失败");
  SearchKeyPtr key(mailimap_search_key_new_text(text));
  if (!key) {
    std::free(text);
    return out_of_memory(error, "搜索邮件失败");
  }
  SearchResultPtr found;
  const int result = uid_search(imap_.get(), "UTF-8", key.get(), found);
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result, "搜索邮件失败，错误代码: ", "搜索邮件失败");
  }
  std::vector<uint32_t> uids = uids_of_search(found.get());
  log_event("📊", "搜索到 " + str(uids.size()) + " 封邮件");
  std::vector<ImapUidEntry> entries = newest_first(std::move(uids), limit);
  log_event("✅", "返回 " + str(entries.size()) + " 封邮件");
  return entries;
}

std::optional<std::vector<ImapUidEntry>> LibEtPanIMAPSession::fetchLatestMessagesWithLimit(
    uint64_t limit, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  log_event("⚡️", "快速获取最新 " + str(limit) + " 封邮件...");
  // libetpan keeps EXISTS and UIDNEXT from the last SELECT (and later untagged EXISTS).
  const mailimap_selection_info* selection = imap_->imap_selection_info;
  if (!selection) {
    log_event("❌", "未选择文件夹");
    return fail(error, -1, localized("mail.imap.no_folder"));
  }
  const uint32_t exists = selection->sel_exists;
  const uint32_t uid_next = selection->sel_uidnext;
  log_event("📊", "文件夹状态 - 邮件总数: " + str(exists) + ", 下一个UID: " + str(uid_next));
  if (exists == 0) {
    log_event("⚠️", "文件夹为空");
    return std::vector<ImapUidEntry>{};
  }
  // The newest `limit` UIDs can only lie below UIDNEXT; gaps make the answer shorter.
  // A limit of 0 asks for the whole range.
  const uint32_t low =
      limit != 0 && limit < uid_next ? static_cast<uint32_t>(uid_next - limit) : 1;
  const uint32_t high = uid_next - 1;
  log_event("🔍", "获取 UID 范围: " + str(low) + ":" + str(high));

  SetPtr set(mailimap_set_new_interval(low, high));
  FetchTypePtr type = fetch_type_of({mailimap_fetch_att_new_uid()});
  if (!set || !type) return out_of_memory(error, "获取邮件失败");
  FetchResultPtr messages;
  const int result = uid_fetch(imap_.get(), set.get(), type.get(), messages);
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result, "获取邮件 UID 失败，错误代码: ", "获取邮件失败");
  }
  std::vector<uint32_t> uids;
  for_each_message(messages.get(), [&](const mailimap_msg_att* message) {
    if (const uint32_t uid = uid_of(message); uid != 0) uids.push_back(uid);
  });
  std::vector<ImapUidEntry> entries = newest_first(std::move(uids), limit);
  log_event("✅", "快速获取完成: " + str(entries.size()) + " 封邮件");
  return entries;
}

// ---------------------------------------------------------------------------------------
// Headers

std::optional<ImapHeaderRecord> LibEtPanIMAPSession::fetchMessageHeadersWithUID(
    uint32_t uid, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  SetPtr set = single_uid_set(uid);
  FetchTypePtr type =
      fetch_type_of({mailimap_fetch_att_new_envelope(), mailimap_fetch_att_new_flags(),
                     mailimap_fetch_att_new_rfc822_size()});
  if (!set || !type) return out_of_memory(error, "获取邮件头失败");
  FetchResultPtr messages;
  const int result = uid_fetch(imap_.get(), set.get(), type.get(), messages);
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result,
                         "获取邮件头失败，UID: " + str(uid) + ", 错误代码: ", "获取邮件头失败");
  }
  if (!messages || clist_isempty(messages.get())) {
    log_event("⚠️", "邮件头为空，UID: " + str(uid));
    return std::nullopt;  // no such message: nothing, and no error
  }
  ImapHeaderRecord record;
  record.uid = uid;
  for_each_message(messages.get(), [&](const mailimap_msg_att* message) {
    merge_into_header_record(record, message);
  });
  log_event("✅", "获取邮件头成功，UID: " + str(uid));
  return record;
}

std::optional<std::vector<ImapHeaderRecord>> LibEtPanIMAPSession::fetchBatchMessageHeadersWithUIDs(
    const std::vector<uint32_t>& uids, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  if (uids.empty()) return std::vector<ImapHeaderRecord>{};
  log_event("📦", "批量获取 " + str(uids.size()) + " 封邮件头...");
  SetPtr set(mailimap_set_new_empty());
  if (!set) return out_of_memory(error, "批量获取邮件头失败");
  for (uint32_t uid : uids) {
    if (mailimap_set_add_single(set.get(), uid) != MAILIMAP_NO_ERROR)
      return out_of_memory(error, "批量获取邮件头失败");
  }
  FetchTypePtr type =
      fetch_type_of({mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_envelope(),
                     mailimap_fetch_att_new_flags(), mailimap_fetch_att_new_rfc822_size()});
  if (!type) return out_of_memory(error, "批量获取邮件头失败");
  FetchResultPtr messages;
  const int result = uid_fetch(imap_.get(), set.get(), type.get(), messages);
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result, "批量获取邮件头失败，错误代码: ", "批量获取邮件头失败");
  }
  std::vector<ImapHeaderRecord> records;
  for_each_message(messages.get(), [&](const mailimap_msg_att* message) {
    if (auto record = batch_header_record(message)) records.push_back(std::move(*record));
  });
  log_event("✅", "批量获取完成: " + str(records.size()) + " 封邮件头");
  return records;
}

// ---------------------------------------------------------------------------------------
// Bodies

std::optional<std::string> LibEtPanIMAPSession::fetchMessageBodyWithUID(uint32_t uid,
                                                                        LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  SetPtr set = single_uid_set(uid);
  // RFC822 is the non-peeking form: the server sets \Seen, which is what opening a message
  // means to the user.
  FetchTypePtr type = fetch_type_of({mailimap_fetch_att_new_rfc822()});
  if (!set || !type) return out_of_memory(error, "获取邮件正文失败");
  FetchResultPtr messages;
  const int result = uid_fetch(imap_.get(), set.get(), type.get(), messages);
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result,
                         "获取邮件正文失败，UID: " + str(uid) + ", 错误代码: ", "获取邮件正文失败");
  }
  if (!messages || clist_isempty(messages.get())) {
    log_event("⚠️", "邮件正文为空（服务器未返回该 UID 记录），UID: " + str(uid));
    return fail(error, -2, localized_format("mail.imap.no_body", uid));
  }
  std::string body;
  const bool found = find_static_item(messages.get(), [&](const mailimap_msg_att_static* item) {
    if (item->att_type == MAILIMAP_MSG_ATT_BODY_SECTION && item->att_data.att_body_section &&
        item->att_data.att_body_section->sec_body_part &&
        item->att_data.att_body_section->sec_length > 0) {
      body.assign(item->att_data.att_body_section->sec_body_part,
                  item->att_data.att_body_section->sec_length);
      return true;
    }
    if (item->att_type == MAILIMAP_MSG_ATT_RFC822 && item->att_data.att_rfc822.att_content &&
        item->att_data.att_rfc822.att_length > 0) {
      body.assign(item->att_data.att_rfc822.att_content, item->att_data.att_rfc822.att_length);
      return true;
    }
    return false;
  });
  if (!found) {
    log_event("⚠️", "未找到邮件正文数据，UID: " + str(uid));
    return fail(error, -3, localized_format("mail.imap.no_body_data", uid));
  }
  log_event("✅", "获取邮件正文成功，UID: " + str(uid) + ", 大小: " + str(body.size()) + " 字节");
  return body;
}

namespace {

// Calls `visit` with the UID and every fixed item of each message of a FETCH answer.
template <typename F>
void for_each_static_item(const clist* messages, F&& visit) {
  for_each_message(messages, [&](const mailimap_msg_att* message) {
    const uint32_t uid = uid_of(message);
    if (uid == 0 || !message->att_list) return;
    for (clistiter* cell = clist_begin(message->att_list); cell; cell = clist_next(cell)) {
      auto* item = static_cast<const mailimap_msg_att_item*>(clist_content(cell));
      if (item && item->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC && item->att_data.att_static)
        visit(uid, item->att_data.att_static);
    }
  });
}

}  // namespace

std::optional<std::vector<std::pair<uint32_t, uint64_t>>>
LibEtPanIMAPSession::fetchMessageSizesWithUIDs(const std::vector<uint32_t>& uids,
                                               LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  std::vector<std::pair<uint32_t, uint64_t>> sizes;
  if (uids.empty()) return sizes;
  SetPtr set = uid_set_of(uids);
  FetchTypePtr type =
      fetch_type_of({mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_rfc822_size()});
  if (!set || !type) return out_of_memory(error, "获取邮件大小失败");
  FetchResultPtr messages;
  const int result = uid_fetch(imap_.get(), set.get(), type.get(), messages);
  if (result != MAILIMAP_NO_ERROR)
    return commandFailed(error, result, "获取邮件大小失败，错误代码: ", "获取邮件大小失败");
  for_each_static_item(messages.get(), [&](uint32_t uid, const mailimap_msg_att_static* item) {
    if (item->att_type == MAILIMAP_MSG_ATT_RFC822_SIZE)
      sizes.emplace_back(uid, item->att_data.att_rfc822_size);
  });
  return sizes;
}

std::optional<std::vector<std::pair<uint32_t, std::string>>>
LibEtPanIMAPSession::peekRawMessagesWithUIDs(const std::vector<uint32_t>& uids,
                                             LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  std::vector<std::pair<uint32_t, std::string>> raw;
  if (uids.empty()) return raw;
  SetPtr set = uid_set_of(uids);
  SectionPtr section(mailimap_section_new(nullptr));
  if (!set || !section) return out_of_memory(error, "批量获取邮件正文失败");
  FetchAttPtr body(mailimap_fetch_att_new_body_peek_section(section.get()));
  if (!body) return out_of_memory(error, "批量获取邮件正文失败");
  section.release();
  FetchTypePtr type = fetch_type_of({mailimap_fetch_att_new_uid(), body.release()});
  if (!type) return out_of_memory(error, "批量获取邮件正文失败");
  FetchResultPtr messages;
  const int result = uid_fetch(imap_.get(), set.get(), type.get(), messages);
  if (result != MAILIMAP_NO_ERROR)
    return commandFailed(error, result, "批量获取邮件正文失败，错误代码: ", "批量获取邮件正文失败");
  raw.reserve(uids.size());
  for_each_static_item(messages.get(), [&](uint32_t uid, const mailimap_msg_att_static* item) {
    if (item->att_type != MAILIMAP_MSG_ATT_BODY_SECTION || !item->att_data.att_body_section) return;
    const mailimap_msg_att_body_section* section = item->att_data.att_body_section;
    if (section->sec_body_part && section->sec_length > 0)
      raw.emplace_back(uid, std::string(section->sec_body_part, section->sec_length));
  });
  log_event("✅", "批量获取正文完成: " + str(raw.size()) + " 封");
  return raw;
}

std::optional<std::string> LibEtPanIMAPSession::fetchMessagePartWithUID(uint32_t uid,
                                                                        std::string_view partPath,
                                                                        LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  if (partPath.empty()) {
    return fail(error, -1, localized("mail.imap.empty_part"));
  }
  const auto numbers = parse_part_path(partPath);
  if (!numbers) {
    return fail(error, -1, localized_format("mail.imap.bad_part", partPath));
  }
  const std::string part(partPath);

  // BODY.PEEK[1.2] (RFC 3501 §6.4.5): the part as stored, without setting \Seen. Each
  // handle owns what it was built from, so every early return frees all of it.
  MallocedListPtr section_ids(clist_new());
  if (!section_ids) return out_of_memory(error, "抓取附件 part 失败");
  for (uint32_t number : *numbers) {
    auto* id = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t)));
    if (id) *id = number;
    if (!id || clist_append(section_ids.get(), id) != 0) {
      std::free(id);
      return out_of_memory(error, "抓取附件 part 失败");
    }
  }
  SectionPartPtr section_part(mailimap_section_part_new(section_ids.get()));
  if (!section_part) return out_of_memory(error, "抓取附件 part 失败");
  section_ids.release();
  SectionPtr section(mailimap_section_new_part(section_part.get()));
  if (!section) return out_of_memory(error, "抓取附件 part 失败");
  section_part.release();
  FetchAttPtr att(mailimap_fetch_att_new_body_peek_section(section.get()));
  if (!att) return out_of_memory(error, "抓取附件 part 失败");
  section.release();
  FetchTypePtr type = fetch_type_of({att.release()});
  SetPtr set = single_uid_set(uid);
  if (!set || !type) return out_of_memory(error, "抓取附件 part 失败");

  FetchResultPtr messages;
  const int result = uid_fetch(imap_.get(), set.get(), type.get(), messages);
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result,
                         "抓取 part 失败，UID: " + str(uid) + ", part: " + part + ", 错误代码: ",
                         "抓取附件 part 失败");
  }
  if (!messages || clist_isempty(messages.get())) {
    log_event("⚠️", "抓取 part 返回空，UID: " + str(uid) + ", part: " + part);
    return std::nullopt;  // no such message: nothing, and no error
  }
  std::string bytes;
  const bool found = find_static_item(messages.get(), [&](const mailimap_msg_att_static* item) {
    if (item->att_type != MAILIMAP_MSG_ATT_BODY_SECTION || !item->att_data.att_body_section) {
      return false;
    }
    const mailimap_msg_att_body_section* body = item->att_data.att_body_section;
    if (!body->sec_body_part || body->sec_length == 0) return false;
    bytes.assign(body->sec_body_part, body->sec_length);
    return true;
  });
  if (!found) {
    log_event("⚠️", "抓取 part 无内容，UID: " + str(uid) + ", part: " + part);
    return std::nullopt;  // no such part: nothing, and no error
  }
  log_event("✅", "抓取 part 成功，UID: " + str(uid) + ", part: " + part + ", 大小: " + str(bytes.size()) +
                " 字节");
  return bytes;
}

// ---------------------------------------------------------------------------------------
// Flags, deletion, moving

bool LibEtPanIMAPSession::markAsReadWithUID(uint32_t uid, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  const auto result = uid_store_flag(imap_.get(), uid, "\\Seen", +1);
  if (!result) return out_of_memory(error, "标记为已读失败");
  if (*result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, *result,
                         "标记为已读失败，UID: " + str(uid) + ", 错误代码: ", "标记为已读失败");
  }
  log_event("✅", "标记为已读成功，UID: " + str(uid));
  return true;
}

bool LibEtPanIMAPSession::markAsUnreadWithUID(uint32_t uid, LibEtPanError* error) {
  return storeFlagWithUID(uid, "\\Seen", -1, "标记为未读", error);
}

bool LibEtPanIMAPSession::addFlaggedWithUID(uint32_t uid, LibEtPanError* error) {
  return storeFlagWithUID(uid, "\\Flagged", +1, "添加星标", error);
}

bool LibEtPanIMAPSession::removeFlaggedWithUID(uint32_t uid, LibEtPanError* error) {
  return storeFlagWithUID(uid, "\\Flagged", -1, "移除星标", error);
}

bool LibEtPanIMAPSession::storeFlagWithUID(uint32_t uid, std::string_view flag, int sign,
                                           std::string_view action, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  const auto result = uid_store_flag(imap_.get(), uid, flag, sign);
  const std::string label(action);
  if (!result) return out_of_memory(error, label + " 失败");
  if (*result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, *result,
                         label + " 失败，UID: " + str(uid) + ", 错误代码: ", label + " 失败");
  }
  log_event("✅", label + " 成功，UID: " + str(uid));
  return true;
}

bool LibEtPanIMAPSession::deleteAndExpungeWithUID(uint32_t uid, LibEtPanError* error,
                                                  ImapSourceRemoval* removal) {
  if (!require_session(imap_.get(), error)) return false;
  if (!storeFlagWithUID(uid, "\\Deleted", +1, "标记为删除", error)) return false;
  int result = MAILIMAP_NO_ERROR;
  if (hasCapability("UIDPLUS")) {
    // RFC 4315 §2.1: UID EXPUNGE removes only the UIDs named, whatever else is \Deleted.
    SetPtr set = single_uid_set(uid);
    if (!set) return out_of_memory(error, "EXPUNGE 失败");
    platform::lower_thread_to_utility_priority();
    result = mailimap_uid_expunge(imap_.get(), set.get());
  } else {
    // A plain EXPUNGE (RFC 3501 §6.4.3) removes every \Deleted message of the folder, also
    // those another client flagged and may still undelete: run it only when ours is the
    // only one.
    const auto flagged = deletedUIDs(error);
    if (!flagged) return false;
    const auto others = std::count_if(flagged->begin(), flagged->end(),
                                      [uid](uint32_t other) { return other != uid; });
    if (others > 0) {
      log_event("⚠️", "服务器不支持 UID EXPUNGE，文件夹中另有 " + str(others) +
                              " 封邮件标记为删除；为免一并清除，UID " + str(uid) + " 仅标记为删除");
      if (removal) *removal = ImapSourceRemoval::flaggedOnly;
      return true;
    }
    platform::lower_thread_to_utility_priority();
    result = mailimap_expunge(imap_.get());
  }
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result,
                         "EXPUNGE 失败，UID: " + str(uid) + ", 错误代码: ", "EXPUNGE 失败");
  }
  if (removal) *removal = ImapSourceRemoval::removed;
  log_event("✅", "删除并 EXPUNGE 成功，UID: " + str(uid));
  return true;
}

bool LibEtPanIMAPSession::moveMessageWithUID(uint32_t uid, std::string_view toFolder,
                                             LibEtPanError* error, ImapSourceRemoval* removal) {
  if (!require_session(imap_.get(), error)) return false;
  const std::string wire = imap_wire_folder_name(toFolder);
  const std::string dest(toFolder);
  SetPtr set = single_uid_set(uid);
  if (!set) return out_of_memory(error, "MOVE 失败");
  if (hasCapability("MOVE")) {
    // RFC 6851: one atomic command that takes nothing else out of the source folder.
    platform::lower_thread_to_utility_priority();
    const int result = mailimap_uid_move(imap_.get(), set.get(), wire.c_str());
    if (result != MAILIMAP_NO_ERROR) {
      return commandFailed(
          error, result,
          "MOVE 失败，UID: " + str(uid) + ", dest: " + dest + ", 错误代码: ", "MOVE 失败");
    }
    if (removal) *removal = ImapSourceRemoval::removed;
    log_event("✅", "MOVE 成功，UID: " + str(uid) + ", dest: " + dest);
    return true;
  }
  platform::lower_thread_to_utility_priority();
  const int result = mailimap_uid_copy(imap_.get(), set.get(), wire.c_str());
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(
        error, result,
        "COPY 失败，UID: " + str(uid) + ", dest: " + dest + ", 错误代码: ", "COPY 失败");
  }
  // A failed delete leaves the copy in the destination; the caller sees the delete's error.
  if (!deleteAndExpungeWithUID(uid, error, removal)) return false;
  log_event("✅", "MOVE 成功，UID: " + str(uid) + ", dest: " + dest);
  return true;
}

bool LibEtPanIMAPSession::hasCapability(const char* name) {
  if (!imap_) return false;
  // Servers announce more after LOGIN than in their greeting (Dovecot adds MOVE and
  // UIDPLUS), and not every server puts the list in its LOGIN answer: ask once per session.
  if (!capabilitiesAsked_) {
    mailimap_capability_data* answer = nullptr;
    platform::lower_thread_to_utility_priority();
    const int result = mailimap_capability(imap_.get(), &answer);
    noteParseFailure(result);
    if (result != MAILIMAP_NO_ERROR) return false;
    if (answer) mailimap_capability_data_free(answer);
    capabilitiesAsked_ = true;
  }
  return mailimap_has_extension(imap_.get(), name) != 0;
}

std::optional<std::vector<uint32_t>> LibEtPanIMAPSession::deletedUIDs(LibEtPanError* error) {
  SearchKeyPtr key(mailimap_search_key_new(
      MAILIMAP_SEARCH_KEY_DELETED, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr));
  if (!key) return out_of_memory(error, "搜索邮件失败");
  SearchResultPtr found;
  const int result = uid_search(imap_.get(), nullptr, key.get(), found);
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result, "搜索邮件 UID 失败，错误代码: ", "搜索邮件失败");
  }
  return uids_of_search(found.get());
}

std::optional<ImapUidIdentity> LibEtPanIMAPSession::fetchMessageIdentityWithUID(
    uint32_t uid, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  SetPtr set = single_uid_set(uid);
  FetchTypePtr type = fetch_type_of({mailimap_fetch_att_new_uid(), message_id_header_att()});
  if (!set || !type) return out_of_memory(error, "获取邮件标识失败");
  FetchResultPtr messages;
  const int result = uid_fetch(imap_.get(), set.get(), type.get(), messages);
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result,
                         "获取邮件标识失败，UID: " + str(uid) + ", 错误代码: ", "获取邮件标识失败");
  }
  ImapUidIdentity identity;
  for_each_message(messages.get(), [&](const mailimap_msg_att* message) {
    // The answer may also carry unsolicited FETCH responses about other messages.
    if (uid_of(message) != uid) return;
    identity.exists = true;
    for (clistiter* cell = clist_begin(message->att_list); cell; cell = clist_next(cell)) {
      auto* item = static_cast<const mailimap_msg_att_item*>(clist_content(cell));
      if (!item || item->att_type != MAILIMAP_MSG_ATT_ITEM_STATIC || !item->att_data.att_static)
        continue;
      const mailimap_msg_att_static* field = item->att_data.att_static;
      if (field->att_type != MAILIMAP_MSG_ATT_BODY_SECTION || !field->att_data.att_body_section)
        continue;
      const mailimap_msg_att_body_section* body = field->att_data.att_body_section;
      if (!body->sec_body_part) continue;
      const std::string_view block(body->sec_body_part, body->sec_length);
      identity.headerFields.assign(block);
      if (auto id = EmailContentDecoder::decodeHeaders(block).messageId)
        identity.messageId = std::move(id);
    }
  });
  return identity;
}

// ---------------------------------------------------------------------------------------
// IDLE (RFC 2177) and NOOP

bool LibEtPanIMAPSession::hasIdleCapability() { return hasCapability("IDLE"); }

bool LibEtPanIMAPSession::idleWithError(LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  platform::lower_thread_to_utility_priority();
  const int result = mailimap_idle(imap_.get());
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result, "IDLE 失败，错误代码: ", "IDLE 失败");
  }
  log_event("✅", "进入 IDLE 状态");
  return true;
}

bool LibEtPanIMAPSession::idleDoneWithError(LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  platform::lower_thread_to_utility_priority();
  const int result = mailimap_idle_done(imap_.get());
  if (result != MAILIMAP_NO_ERROR) {
    return commandFailed(error, result, "IDLE DONE 失败，错误代码: ", "IDLE DONE 失败");
  }
  log_event("✅", "退出 IDLE 状态");
  return true;
}

int LibEtPanIMAPSession::idleFd() const {
  if (!imap_ || !imap_->imap_stream) return -1;
  mailstream_low* low = mailstream_get_low(imap_->imap_stream);
  return low ? mailstream_low_get_fd(low) : -1;
}

bool LibEtPanIMAPSession::noopWithError(LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  platform::lower_thread_to_utility_priority();
  const int result = mailimap_noop(imap_.get());
  if (result != MAILIMAP_NO_ERROR)
    return fail(error, result, localized_format("mail.imap.failed.noop", result));
  return true;
}

// ---------------------------------------------------------------------------------------
// Modified UTF-7

std::string LibEtPanIMAPSession::encodeModifiedUTF7(std::string_view text) {
  return encode_modified_utf7(text);
}

std::string LibEtPanIMAPSession::decodeModifiedUTF7(std::string_view text) {
  return decode_modified_utf7(text);
}

// ---- Folder management and filing (RFC 3501 §6.3.4, §6.3.5, §6.3.11) ----

bool LibEtPanIMAPSession::renameFolder(std::string_view from, std::string_view to,
                                       LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  const std::string wireFrom = imap_wire_folder_name(from), wireTo = imap_wire_folder_name(to);
  platform::lower_thread_to_utility_priority();
  const int result = mailimap_rename(imap_.get(), wireFrom.c_str(), wireTo.c_str());
  if (result != MAILIMAP_NO_ERROR)
    return commandFailed(error, result, "重命名文件夹失败: " + std::string(from) + ", 错误代码: ",
                         "重命名文件夹失败");
  log_event("✅", "已重命名文件夹: " + std::string(from) + " -> " + std::string(to));
  return true;
}

bool LibEtPanIMAPSession::deleteFolder(std::string_view folder, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  const std::string wire = imap_wire_folder_name(folder);
  platform::lower_thread_to_utility_priority();
  const int result = mailimap_delete(imap_.get(), wire.c_str());
  if (result != MAILIMAP_NO_ERROR)
    return commandFailed(
        error, result, "删除文件夹失败: " + std::string(folder) + ", 错误代码: ", "删除文件夹失败");
  log_event("✅", "已删除文件夹: " + std::string(folder));
  return true;
}

std::optional<uint32_t> LibEtPanIMAPSession::appendMessage(std::string_view folder,
                                                           std::string_view message,
                                                           const std::vector<std::string>& flags,
                                                           LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  const std::string wire = imap_wire_folder_name(folder);
  FlagListPtr list(mailimap_flag_list_new_empty());
  if (!list) return out_of_memory(error, "保存邮件失败");
  for (const auto& name : flags) {
    FlagPtr flag(flag_named(name));
    if (!flag || mailimap_flag_list_add(list.get(), flag.get()) != MAILIMAP_NO_ERROR)
      return out_of_memory(error, "保存邮件失败");
    flag.release();
  }
  platform::lower_thread_to_utility_priority();
  uint32_t validity = 0, uid = 0;
  // RFC 4315 APPENDUID names the new copy's UID; without UIDPLUS it stays 0.
  const int result = hasCapability("UIDPLUS")
                         ? mailimap_uidplus_append(imap_.get(), wire.c_str(), list.get(), nullptr,
                                                   message.data(), message.size(), &validity, &uid)
                         : mailimap_append(imap_.get(), wire.c_str(), list.get(), nullptr,
                                           message.data(), message.size());
  if (result != MAILIMAP_NO_ERROR)
    return commandFailed(error, result,
                         "保存邮件失败: " + std::string(folder) + ", 错误代码: ", "保存邮件失败");
  return uid;
}

// ---------------------------------------------------------------------------------------
// Batches: one command for many UIDs of the selected folder

bool LibEtPanIMAPSession::storeFlagWithUIDs(const std::vector<uint32_t>& uids,
                                            std::string_view flag, int sign, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  if (uids.empty()) return true;
  SetPtr set = uid_set_of(uids);
  if (!set) return out_of_memory(error, "批量设置标记失败");
  const auto result = uid_store_flag(imap_.get(), set.get(), flag, sign);
  if (!result) return out_of_memory(error, "批量设置标记失败");
  if (*result != MAILIMAP_NO_ERROR)
    return commandFailed(error, *result, "批量设置标记失败，错误代码: ", "批量设置标记失败");
  log_event("✅", "批量设置标记 " + std::string(flag) + " 成功: " + str(uids.size()) + " 封");
  return true;
}

bool LibEtPanIMAPSession::moveMessagesWithUIDs(const std::vector<uint32_t>& uids,
                                               std::string_view toFolder, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  if (uids.empty()) return true;
  if (!hasCapability("MOVE")) {
    // COPY + \Deleted + expunge one at a time keeps the care taken for servers without
    // UID EXPUNGE (see deleteAndExpungeWithUID).
    for (uint32_t uid : uids)
      if (!moveMessageWithUID(uid, toFolder, error)) return false;
    return true;
  }
  SetPtr set = uid_set_of(uids);
  if (!set) return out_of_memory(error, "MOVE 失败");
  const std::string wire = imap_wire_folder_name(toFolder);
  platform::lower_thread_to_utility_priority();
  // RFC 6851 §3.1: UID MOVE of a set takes exactly those messages out of the source.
  const int result = mailimap_uid_move(imap_.get(), set.get(), wire.c_str());
  if (result != MAILIMAP_NO_ERROR)
    return commandFailed(
        error, result,
        "批量 MOVE 失败，dest: " + std::string(toFolder) + ", 错误代码: ", "MOVE 失败");
  log_event("✅", "批量 MOVE 成功: " + str(uids.size()) + " 封, dest: " + std::string(toFolder));
  return true;
}

bool LibEtPanIMAPSession::deleteAndExpungeWithUIDs(const std::vector<uint32_t>& uids,
                                                   LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return false;
  if (uids.empty()) return true;
  if (!hasCapability("UIDPLUS")) {
    for (uint32_t uid : uids)
      if (!deleteAndExpungeWithUID(uid, error)) return false;
    return true;
  }
  if (!storeFlagWithUIDs(uids, "\\Deleted", +1, error)) return false;
  SetPtr set = uid_set_of(uids);
  if (!set) return out_of_memory(error, "EXPUNGE 失败");
  platform::lower_thread_to_utility_priority();
  // RFC 4315 §2.1: only the UIDs named go, whatever else carries \Deleted.
  const int result = mailimap_uid_expunge(imap_.get(), set.get());
  if (result != MAILIMAP_NO_ERROR)
    return commandFailed(error, result, "EXPUNGE 失败，错误代码: ", "EXPUNGE 失败");
  log_event("✅", "批量删除并 EXPUNGE 成功: " + str(uids.size()) + " 封");
  return true;
}

std::optional<std::vector<uint32_t>> LibEtPanIMAPSession::searchUIDsWithMessageId(
    std::string_view messageId, LibEtPanError* error) {
  if (!require_session(imap_.get(), error)) return std::nullopt;
  // RFC 3501 §6.4.4 HEADER <field> <string>: a substring match on the field's value.
  char* field = strdup("Message-ID");
  char* value = strndup(messageId.data(), messageId.size());
  if (!field || !value) {
    std::free(field);
    std::free(value);
    return out_of_memory(error, "搜索邮件失败");
  }
  SearchKeyPtr key(mailimap_search_key_new_header(field, value));
  if (!key) {
    std::free(field);
    std::free(value);
    return out_of_memory(error, "搜索邮件失败");
  }
  SearchResultPtr found;
  const int result = uid_search(imap_.get(), "UTF-8", key.get(), found);
  if (result != MAILIMAP_NO_ERROR)
    return commandFailed(error, result, "按 Message-ID 搜索失败，错误代码: ", "搜索邮件失败");
  return uids_of_search(found.get());
}

}  // namespace kestrova::mail
