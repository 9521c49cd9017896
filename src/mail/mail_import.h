#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "store/email_message.h"

namespace kestrova::store {
class EmailStore;
}

namespace kestrova::mail {

// Reading local mail archives (Maildir directories and mbox files) into the store, for
// users who bring their mail over from another client.

// One message as an archive holds it.
struct ArchivedMessage {
  // The bytes of a message are kept whole up to kMaxRawSize; a larger message is read to
  // its end but only its first kMaxRawSize bytes are held, and it is marked truncated (the
  // importer refuses it rather than keep part of it). Only the first kMaxDecodeSize bytes
  // are decoded, as a body download does.
  static constexpr size_t kMaxRawSize = 64u << 20;
  static constexpr size_t kMaxDecodeSize = 10'485'760;

  std::string raw;  // RFC 5322 bytes, line ends as the archive has them
  size_t originalSize = 0;
  bool wasTruncated = false;
  bool isRead = false;          // Maildir "S"; mbox "Status: R"
  bool isStarred = false;       // Maildir "F"; mbox "X-Status: F"
  bool hasBeenReplied = false;  // Maildir "R"; mbox "X-Status: A"
  // A stable date for a message whose Date header is missing or unreadable: the delivery
  // time of a Maildir file name, or the date of the mbox "From " line.
  std::optional<double> archiveDate;
  std::string origin;  // where it was found, for messages to the user: a path, or "file:line"
};

// The messages of a Maildir: the files of cur/ and new/ (tmp/ holds deliveries in
// progress and is left alone), each folder in file-name order, hidden files skipped.
// Flags come from the ":2,FLAGS" suffix of the name. Sub-folders (Maildir++ ".name"
// directories) are not read. Not thread-safe.
class MaildirReader {
 public:
  // Throws kestrova::Error when `dir` has neither cur/ nor new/.
  explicit MaildirReader(const std::filesystem::path& dir);
  // The next message; nothing at the end. A file that cannot be read throws
  // kestrova::Error naming it (the reader can go on with the next one).
  std::optional<ArchivedMessage> next();
  size_t size() const { return files_.size(); }

 private:
  std::vector<std::string> files_;
  size_t next_ = 0;
};

// The messages of an mbox file (mboxrd and mboxo), read line by line so that only one
// message is in memory at a time. A message starts at a "From " line at the beginning of
// the file or after an empty line (the empty line belongs to the separator); ">From ",
// ">>From ", ... lines lose one ">". Content-Length headers are not trusted. Not
// thread-safe.
class MboxReader {
 public:
  // Throws kestrova::Error when the file cannot be opened or does not start with a
  // "From " line (leading empty lines aside).
  explicit MboxReader(const std::filesystem::path& file);
  // The next message; nothing at the end. Throws kestrova::Error on a read error.
  std::optional<ArchivedMessage> next();

 private:
  bool read_line(std::string& line);

  std::filesystem::path path_;
  std::ifstream in_;
  std::optional<std::string> separator_;  // the "From " line of the next message
  size_t line_number_ = 0;
  size_t separator_line_ = 0;
};

// The record of an archived message for the account's folder: headers and body decoded,
// the body marked loaded, no UID; the date from the Date header, else the archive's date,
// else 0 (the same every time, so that a repeated import finds the message again);
// conversation key and no-reply flag as a sync gives them. `now` stamps syncedAt,
// updatedAt and bodyCachedAt.
store::EmailMessage message_from_archive(const ArchivedMessage& archived,
                                         const std::string& accountId, const std::string& folderId,
                                         double now);

struct ImportCounts {
  size_t imported = 0;  // new rows
  size_t skipped = 0;   // already stored, or repeated within the archive
  size_t failed = 0;    // unreadable or undecodable
  size_t seen() const { return imported + skipped + failed; }
};

// Stores archived messages in one folder of an account, in batches of kBatchSize (or
// fewer, kBatchBytes of original bytes at most), each written through the mail store's
// batch save (one transaction per batch); the original bytes of every written message are
// kept beside it (store/message_source.h), so its source, attachments and export stay
// whole. A truncated message (above ArchivedMessage::kMaxRawSize) counts as failed. A message the
// account already stores (the store's rule: same Message-ID, else same subject, sender and
// date) is skipped and its stored copy left untouched, so a repeated import adds nothing
// and never takes a synchronised copy out of its folder. The conversation summaries of
// the written messages are refreshed after each batch. Main thread only (it drains the
// main queue after each batch, so the store's hand-overs do not pile up).
class MailImporter {
 public:
  static constexpr size_t kBatchSize = 200;
  static constexpr size_t kBatchBytes = 32u << 20;
  using Progress = std::function<void(const ImportCounts&)>;

  // Borrows the store for the importer's lifetime.
  MailImporter(store::EmailStore& store, std::string accountId, std::string folderId);

  // Reads `next` until it gives nothing. A message that cannot be read (`next` throws
  // kestrova::Error) or decoded counts as failed and is reported through `failure`;
  // database errors end the import (thrown). `progress` is called after each message.
  using Source = std::function<std::optional<ArchivedMessage>()>;
  ImportCounts run(const Source& next, const Progress& progress = {},
                   const std::function<void(const std::string&)>& failure = {});

 private:
  struct Pending {
    store::EmailMessage record;
    std::string raw;
  };
  void flush(std::vector<Pending>& batch, ImportCounts& counts);

  store::EmailStore& store_;
  std::string accountId_;
  std::string folderId_;
};

}  // namespace kestrova::mail
