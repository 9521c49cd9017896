// IMAP modified UTF-7 (RFC 3501 §5.1.3) and the wire form of folder names.
#include "mail/modified_utf7.h"

#include <gtest/gtest.h>

#include "mail/libetpan_imap_session.h"

namespace kestrova::mail {
namespace {

TEST(ModifiedUtf7, EncodesNonPrintableRunsAndEscapesAmpersand) {
  EXPECT_EQ(encode_modified_utf7("Entwürfe"), "Entw&APw-rfe");
  EXPECT_EQ(encode_modified_utf7("Ä&B"), "&AMQ-&-B");
  EXPECT_EQ(encode_modified_utf7("日本語"), "&ZeVnLIqe-");
  EXPECT_EQ(encode_modified_utf7("A&B"), "A&-B");
  EXPECT_EQ(encode_modified_utf7(""), "");
  EXPECT_EQ(encode_modified_utf7("INBOX ~x"), "INBOX ~x");
  // A surrogate pair is one run of two units; "/" of Base64 is written as ",".
  EXPECT_EQ(encode_modified_utf7("📧"), "&2D3c5w-");
  EXPECT_EQ(encode_modified_utf7("\u03FF"), "&A,8-");
  // Control characters and DEL are outside 0x20..0x7E and get encoded too.
  EXPECT_EQ(encode_modified_utf7("a\tb\x7F"), "a&AAk-b&AH8-");
  // The session's static conversions are the same functions.
  EXPECT_EQ(LibEtPanIMAPSession::encodeModifiedUTF7("Entwürfe"), "Entw&APw-rfe");
  EXPECT_EQ(LibEtPanIMAPSession::decodeModifiedUTF7("&ZeVnLIqe-"), "日本語");
}

TEST(ModifiedUtf7, DecodesRunsLeniently) {
  EXPECT_EQ(decode_modified_utf7("&ZeVnLIqe-"), "日本語");
  EXPECT_EQ(decode_modified_utf7("a&-b"), "a&b");
  EXPECT_EQ(decode_modified_utf7("Entw&APw-rfe"), "Entwürfe");
  EXPECT_EQ(decode_modified_utf7("&A,8-"), "\u03FF");
  EXPECT_EQ(decode_modified_utf7("plain-name"), "plain-name");
  EXPECT_EQ(decode_modified_utf7(""), "");
  // Spaces inside a run are ignored.
  EXPECT_EQ(decode_modified_utf7("&ZeV nLIqe-"), "日本語");
  // Runs that are not Base64 of UTF-16 vanish; the text around them stays.
  EXPECT_EQ(decode_modified_utf7("x&!!!-y"), "xy");
  EXPECT_EQ(decode_modified_utf7("a&AA-b"), "ab");       // one byte: not UTF-16
  EXPECT_EQ(decode_modified_utf7("a&A-b"), "ab");        // a lone Base64 character
  EXPECT_EQ(decode_modified_utf7("a&2D0-b"), "ab");      // unpaired high surrogate
  // An "&" with no "-" after it is written and ends the text.
  EXPECT_EQ(decode_modified_utf7("a&bc"), "a&");
  EXPECT_EQ(decode_modified_utf7("abc&"), "abc&");
  EXPECT_EQ(decode_modified_utf7("&-&APw"), "&&");
}

TEST(ModifiedUtf7, WireFolderNameEncodesOnlyWhatNeedsIt) {
  // ASCII goes out unchanged, "&" included.
  EXPECT_EQ(imap_wire_folder_name("A&B"), "A&B");
  EXPECT_EQ(imap_wire_folder_name("INBOX"), "INBOX");
  EXPECT_EQ(imap_wire_folder_name("Entwürfe"), "Entw&APw-rfe");
  EXPECT_EQ(imap_wire_folder_name("日本語"), "&ZeVnLIqe-");
  // Names that look encoded already are left alone.
  EXPECT_EQ(imap_wire_folder_name("Ä&-B"), "Ä&-B");
  EXPECT_EQ(imap_wire_folder_name("Ä&x-"), "Ä&x-");
  // "-" only before the "&", or right after it with nothing between: encoded.
  EXPECT_EQ(imap_wire_folder_name("Ä-&B"), "&AMQ--&-B");
  EXPECT_EQ(imap_wire_folder_name("Ü&a"), "&ANw-&-a");
}

}  // namespace
}  // namespace kestrova::mail
