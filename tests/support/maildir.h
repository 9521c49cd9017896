#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::testing {

// IMAP flags a message carries in its Maildir file name (":2,FS").
struct MessageFlags {
  bool seen = false;
  bool flagged = false;
};

// One message to put into a Maildir folder.
struct MaildirMessage {
  std::string raw;  // RFC 5322 bytes, written as they are
  MessageFlags flags;
  // When given, the file's modification time, which Dovecot reports as the INTERNALDATE
  // (and SEARCH SINCE compares with).
  std::optional<int64_t> receivedAt;
};

// Who the files written into a Maildir belong to; -1 leaves them to the writing user.
struct MaildirOwner {
  int uid = -1;
  int gid = -1;
};

// RFC 3501 §5.1.3 modified UTF-7 of a UTF-8 folder name (Dovecot's on-disk names of
// Maildir++ folders).
std::string encode_modified_utf7(const std::string& utf8);

// The directory of `folder` inside the Maildir `maildir`: the Maildir itself for "INBOX"
// (any case), else "." plus the modified UTF-7 name, hierarchy levels joined with Dovecot's
// separator "." ("Archive.2024"; a "/" in `folder` is taken as a separator too).
std::filesystem::path maildir_folder(const std::filesystem::path& maildir,
                                     const std::string& folder);

// Writes `messages` into `folder` of the Maildir `maildir` (both created when missing), in
// order, each in one rename from tmp/: unflagged unseen messages to new/, the others to cur/
// with their flags. Throws std::runtime_error when a file cannot be written or handed to
// `owner`.
void write_maildir_messages(const std::filesystem::path& maildir, const std::string& folder,
                            const std::vector<MaildirMessage>& messages,
                            const MaildirOwner& owner = {});

// The raw messages present in `folder` of `maildir` (new/ and cur/), sorted by file name;
// empty when the folder does not exist.
std::vector<std::string> read_maildir_messages(const std::filesystem::path& maildir,
                                               const std::string& folder);

}  // namespace kestrova::testing
