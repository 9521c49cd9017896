#include "mail/mail_import.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "mail/email_content_decoder.h"
#include "mail/email_deduplication_service.h"
#include "mail/email_message_conversion.h"
#include "platform/main_queue.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/email_thread_service.h"
#include "store/message_source.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::mail {

namespace fs = std::filesystem;

namespace {

bool starts_with_ci(std::string_view line, std::string_view prefix) {
  if (line.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

std::string_view without_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Maildir names look like "1700000000.M1P2Q3.host:2,FRS": the delivery time leads.
std::optional<double> maildir_delivery_time(std::string_view name) {
  size_t digits = 0;
  while (digits < name.size() && std::isdigit(static_cast<unsigned char>(name[digits]))) ++digits;
  if (digits == 0 || digits > 12 || digits >= name.size() || name[digits] != '.')
    return std::nullopt;
  return std::stod(std::string(name.substr(0, digits)));
}

void apply_maildir_flags(std::string_view name, ArchivedMessage& m) {
  const size_t info = name.rfind(":2,");
  if (info == std::string_view::npos) return;
  for (char flag : name.substr(info + 3)) {
    if (flag == 'S') m.isRead = true;
    if (flag == 'F') m.isStarred = true;
    if (flag == 'R') m.hasBeenReplied = true;
  }
}

// "From sender Sat Jan  3 01:05:34 1996" (asctime, UTC); anything after the year is ignored.
std::optional<double> mbox_separator_date(std::string_view line) {
  line = without_cr(line);
  const size_t sender_end = line.find(' ', 5);
  if (sender_end == std::string_view::npos) return std::nullopt;
  std::string rest(line.substr(sender_end + 1));
  std::tm tm{};
  const char* end = strptime(rest.c_str(), "%a %b %d %H:%M:%S %Y", &tm);
  if (!end) return std::nullopt;
  return static_cast<double>(timegm(&tm));
}

// Unquotes an mboxrd body line: ">From ", ">>From ", ... lose their first ">".
std::string_view unquoted(std::string_view line) {
  size_t quotes = 0;
  while (quotes < line.size() && line[quotes] == '>') ++quotes;
  if (quotes > 0 && line.substr(quotes).starts_with("From ")) line.remove_prefix(1);
  return line;
}

void append_capped(ArchivedMessage& m, std::string_view bytes) {
  m.originalSize += bytes.size();
  const size_t room =
      ArchivedMessage::kMaxRawSize - std::min(m.raw.size(), ArchivedMessage::kMaxRawSize);
  if (bytes.size() > room) {
    m.wasTruncated = true;
    bytes = bytes.substr(0, room);
  }
  m.raw.append(bytes);
}

// mutt's and others' flag headers: "Status: RO" (read, old), "X-Status: AF" (answered,
// flagged).
void apply_status_header(std::string_view line, ArchivedMessage& m) {
  line = without_cr(line);
  if (starts_with_ci(line, "Status:")) {
    if (line.substr(7).find('R') != std::string_view::npos) m.isRead = true;
  } else if (starts_with_ci(line, "X-Status:")) {
    const auto value = line.substr(9);
    if (value.find('F') != std::string_view::npos) m.isStarred = true;
    if (value.find('A') != std::string_view::npos) m.hasBeenReplied = true;
  }
}

}  // namespace

// ---- Maildir ----

MaildirReader::MaildirReader(const fs::path& dir) {
  std::error_code error;
  bool any = false;
  for (const char* sub : {"cur", "new"}) {
    const fs::path folder = dir / sub;
    if (!fs::is_directory(folder, error)) continue;
    any = true;
    // Kept as plain strings: a path object holds a list of its components besides the
    // text, several hundred bytes a file, which for an archive of 100,000 messages is tens
    // of megabytes held for the whole import. One folder's paths share their prefix, so
    // they sort as their file names do.
    std::vector<std::string> names;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (name.starts_with('.')) continue;
      if (!it->is_regular_file(error)) continue;
      names.push_back(it->path().string());
    }
    if (error)
      throw Error(localized_format("import.error.directory", folder.string(), error.message()));
    std::sort(names.begin(), names.end());
    files_.insert(files_.end(), std::make_move_iterator(names.begin()),
                  std::make_move_iterator(names.end()));
  }
  if (!any) throw Error(localized_format("import.error.not_maildir", dir.string()));
}

std::optional<ArchivedMessage> MaildirReader::next() {
  if (next_ >= files_.size()) return std::nullopt;
  const fs::path file = files_[next_++];
  ArchivedMessage m;
  m.origin = file.string();
  const std::string name = file.filename().string();
  apply_maildir_flags(name, m);
  m.archiveDate = maildir_delivery_time(name);
  std::ifstream in(file, std::ios::binary);
  if (!in) throw Error(localized_format("import.error.file", file.string()));
  std::string chunk(64 * 1024, '\0');
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    append_capped(m, std::string_view(chunk.data(), static_cast<size_t>(in.gcount())));
  }
  if (in.bad()) throw Error(localized_format("import.error.file", file.string()));
  return m;
}

// ---- mbox ----

MboxReader::MboxReader(const fs::path& file) : path_(file), in_(file, std::ios::binary) {
  std::error_code error;
  if (!in_ || fs::is_directory(file, error))
    throw Error(localized_format("import.error.mbox_open", file.string()));
  std::string line;
  while (read_line(line)) {
    if (without_cr(line).empty()) continue;
    if (!line.starts_with("From "))
      throw Error(localized_format("import.error.not_mbox", file.string()));
    separator_ = std::move(line);
    separator_line_ = line_number_;
    return;
  }
  // An empty file holds no messages.
}

bool MboxReader::read_line(std::string& line) {
  if (!std::getline(in_, line)) {
    if (in_.bad()) throw Error(localized_format("import.error.mbox_read", path_.string()));
    return false;
  }
  ++line_number_;
  return true;
}

std::optional<ArchivedMessage> MboxReader::next() {
  if (!separator_) return std::nullopt;
  ArchivedMessage m;
  m.origin = path_.string() + ":" + std::to_string(separator_line_);
  m.archiveDate = mbox_separator_date(*separator_);
  separator_.reset();

  bool in_headers = true;
  bool pending_blank = false;  // an empty line that may turn out to belong to the separator
  std::string pending_blank_text;
  std::string line;
  while (read_line(line)) {
    if (pending_blank && line.starts_with("From ")) {
      separator_ = std::move(line);
      separator_line_ = line_number_;
      return m;
    }
    if (pending_blank) {
      append_capped(m, pending_blank_text);
      append_capped(m, "\n");
      pending_blank = false;
    }
    if (without_cr(line).empty()) {
      in_headers = false;
      pending_blank = true;
      pending_blank_text = line;
      continue;
    }
    if (in_headers) apply_status_header(line, m);
    append_capped(m, unquoted(line));
    append_capped(m, "\n");
  }
  // End of file: a last empty line is the mbox's trailing separator line.
  return m;
}

// ---- records ----

store::EmailMessage message_from_archive(const ArchivedMessage& archived,
                                         const std::string& accountId, const std::string& folderId,
                                         double now) {
  const std::string_view decoded =
      std::string_view(archived.raw)
          .substr(0, std::min(archived.raw.size(), ArchivedMessage::kMaxDecodeSize));
  const auto headers = EmailContentDecoder::decodeHeaders(decoded);
  const auto body = EmailContentDecoder::decode(decoded);

  store::EmailMessage m;
  m.id = new_uuid();
  m.accountId = accountId;
  m.folderId = folderId;
  m.messageId = headers.messageId;
  m.inReplyTo = headers.inReplyTo;
  m.subject = headers.subject;
  if (headers.from) m.from = *headers.from;
  m.to = headers.to;
  m.cc = headers.cc;
  m.replyTo = headers.replyTo;
  std::optional<double> date;
  if (headers.date) date = parse_header_date(*headers.date);
  m.date = date.value_or(archived.archiveDate.value_or(0));
  m.threadId = normalized_thread_id(m.subject, m.messageId);
  m.isNoReply = is_no_reply_address(m.from.email);
  m.isRead = archived.isRead;
  m.isStarred = archived.isStarred;
  m.hasBeenReplied = archived.hasBeenReplied;
  m.textBody = body.textBody;
  m.htmlBody = body.htmlBody;
  m.containsRemoteResources = body.containsRemoteResources;
  set_attachments(m, body.attachments);
  m.isBodyLoaded = true;
  m.bodyCachedAt = now;
  m.syncedAt = now;
  m.updatedAt = now;
  return store::EmailMessage::make(std::move(m));
}

// ---- importer ----

MailImporter::MailImporter(store::EmailStore& store, std::string accountId, std::string folderId)
    : store_(store), accountId_(std::move(accountId)), folderId_(std::move(folderId)) {}

ImportCounts MailImporter::run(const Source& next, const Progress& progress,
                               const std::function<void(const std::string&)>& failure) {
  ImportCounts counts;
  std::unordered_set<EmailDeduplicationService::DeduplicationKey,
                     EmailDeduplicationService::KeyHash>
      seen;
  std::vector<Pending> batch;
  batch.reserve(kBatchSize);
  size_t batchBytes = 0;
  auto report_failure = [&](const std::string& what) {
    ++counts.failed;
    if (failure) failure(what);
  };
  while (true) {
    std::optional<ArchivedMessage> archived;
    try {
      archived = next();
    } catch (const Error& e) {
      report_failure(e.what());
      if (progress) progress(counts);
      continue;
    }
    if (!archived) break;
    try {
      if (archived->wasTruncated)
        throw Error(localized_format("import.error.too_large", ArchivedMessage::kMaxRawSize >> 20));
      auto record = message_from_archive(*archived, accountId_, folderId_, now_seconds());
      if (!seen.insert(EmailDeduplicationService::key(record)).second) {
        ++counts.skipped;
      } else {
        batchBytes += archived->raw.size();
        batch.push_back({std::move(record), std::move(archived->raw)});
      }
    } catch (const std::exception& e) {
      report_failure(archived->origin + ": " + e.what());
    }
    if (batch.size() >= kBatchSize || batchBytes >= kBatchBytes) {
      flush(batch, counts);
      batchBytes = 0;
    }
    if (progress) progress(counts);
  }
  flush(batch, counts);
  if (progress) progress(counts);
  return counts;
}

void MailImporter::flush(std::vector<Pending>& batch, ImportCounts& counts) {
  if (batch.empty()) return;
  std::vector<store::EmailMessage> records;
  records.reserve(batch.size());
  for (auto& pending : batch) records.push_back(std::move(pending.record));
  const auto stored = store_.hasStoredCopies(records);
  std::vector<store::EmailMessage> fresh;
  std::vector<std::pair<std::string, std::string>> sources;  // row id, original bytes
  fresh.reserve(batch.size());
  for (size_t i = 0; i < batch.size(); ++i) {
    if (stored[i]) {
      ++counts.skipped;
      continue;
    }
    sources.emplace_back(records[i].id, std::move(batch[i].raw));
    fresh.push_back(std::move(records[i]));
  }
  batch.clear();
  if (fresh.empty()) return;
  std::vector<std::string> threads;
  for (const auto& m : fresh) {
    if (m.threadId) threads.push_back(*m.threadId);
  }
  const size_t offered = fresh.size();
  const size_t written = store_.saveMessagesInBackground(std::move(fresh)).get();
  counts.imported += written;
  counts.skipped += offered - std::min(offered, written);
  // Rows the batch save merged into a copy stored meanwhile have no row of their own and
  // keep nothing.
  store_.database().write([&](store::Connection& c) {
    for (const auto& [rowId, raw] : sources) store::keep_message_source(c, rowId, raw);
  });
  platform::MainQueue::drain();
  store::EmailThreadService(store_.database()).refreshThreads(accountId_, threads);
}

}  // namespace kestrova::mail
