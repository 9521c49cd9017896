// libFuzzer target: each input is what an IMAP server answers to
//   UID FETCH <set> (UID ENVELOPE FLAGS)
// before the tagged completion. libetpan's own client parses it from a stream that reads
// from memory (the greeting, then the input, then "<tag> OK" with the tag the client sent),
// exactly as it would parse a socket; every message it returns is then flattened with the
// header-record functions, in the batch style and in the single-message style, and every
// address of every envelope is formatted in both address styles.
//
// Beyond "no crash, no sanitizer report, no leak" it aborts when
//   - a batch record is made for a message without a non-zero UID or without an envelope,
//     or is missing for a message that has both, or carries another UID;
//   - a record holds an empty "from" or "to" (absent is how empty is written);
//   - the two address styles differ other than by the personal name ("Name <...>") and by
//     the "@" of an address that has a host but no mailbox text;
//   - for a message with one envelope, the single-message record made from it alone and
//     the batch record disagree on anything but "from" (bare against named), or a text
//     field is not exactly the envelope's (present when sent, absent when NIL);
//   - folding a message into the running single-message record loses a field it held.
//
// libetpan comes from the distribution, without coverage instrumentation: the fuzzer is
// guided by the flattening code only, and memory errors inside libetpan show up only where
// ASan's allocator sees them (double frees, leaks, frees of foreign pointers).

#include <libetpan/libetpan.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mail/imap_header_record.h"

namespace {

using kestrova::mail::batch_header_record;
using kestrova::mail::format_imap_address;
using kestrova::mail::imap_flag_state;
using kestrova::mail::ImapAddressStyle;
using kestrova::mail::ImapHeaderRecord;
using kestrova::mail::merge_into_header_record;

// ---- a mailstream over memory ----

// What the fake server says and what the client wrote. Reading past the end is end of
// file once and a failed read after that, so any input ends the exchange.
//
// A socket whose peer has closed returns end of file (0) on every read, but libetpan 1.9.4
// takes 0 from a read inside a literal ("{n}" followed by fewer than n bytes) as "nothing
// yet" and reads again forever, at full speed: a server that closes the connection in the
// middle of a literal hangs mailimap_fetch. Found by this target; it happens the same way
// over a real loopback socket. Modelling that here would make every truncated literal a
// time-out and stop the run, so the stream fails instead, as a reset connection does.
struct Conversation {
  std::string incoming;  // greeting first; the answer is appended once a command arrives
  size_t read_pos = 0;
  bool end_seen = false;
  std::string outgoing;
  std::string_view answer;  // the fuzz input
  bool answered = false;
};

ssize_t memory_read(mailstream_low* low, void* buffer, size_t count) {
  auto* c = static_cast<Conversation*>(low->data);
  if (c->read_pos == c->incoming.size()) {
    if (c->end_seen) return -1;
    c->end_seen = true;
    return 0;
  }
  const size_t n = std::min(count, c->incoming.size() - c->read_pos);
  std::memcpy(buffer, c->incoming.data() + c->read_pos, n);
  c->read_pos += n;
  return static_cast<ssize_t>(n);
}

ssize_t memory_write(mailstream_low* low, const void* buffer, size_t count) {
  auto* c = static_cast<Conversation*>(low->data);
  c->outgoing.append(static_cast<const char*>(buffer), count);
  // A complete command line: the server answers with the input, then completes the command
  // under the tag the client chose.
  if (!c->answered && c->outgoing.size() >= 2 && c->outgoing.ends_with("\r\n")) {
    c->answered = true;
    const std::string tag = c->outgoing.substr(0, c->outgoing.find(' '));
    c->incoming.append(c->answer);
    c->incoming.append("\r\n" + tag + " OK UID FETCH completed\r\n");
  }
  return static_cast<ssize_t>(count);
}

int memory_close(mailstream_low*) { return 0; }
int memory_fd(mailstream_low*) { return -1; }
// The conversation lives on the caller's stack; only the low stream itself is freed here.
void memory_free(mailstream_low* low) { std::free(low); }
void memory_cancel(mailstream_low*) {}
struct mailstream_cancel* memory_get_cancel(mailstream_low*) {
  return nullptr;
}
carray* memory_certificates(mailstream_low*) { return nullptr; }

mailstream_low_driver g_memory_driver = {
    memory_read,       memory_write,        memory_close, memory_fd, memory_free, memory_cancel,
    memory_get_cancel, memory_certificates, nullptr,      nullptr,   nullptr,
};

template <auto F>
struct CFree {
  void operator()(auto* p) const noexcept {
    if (p) F(p);
  }
};
using ImapPtr = std::unique_ptr<mailimap, CFree<&mailimap_free>>;
using SetPtr = std::unique_ptr<mailimap_set, CFree<&mailimap_set_free>>;
using FetchTypePtr = std::unique_ptr<mailimap_fetch_type, CFree<&mailimap_fetch_type_free>>;
using FetchListPtr = std::unique_ptr<clist, CFree<&mailimap_fetch_list_free>>;

// KESTROVA_FUZZ_ECHO=1 prints every record, to see what the corpus reaches.
const bool g_echo = std::getenv("KESTROVA_FUZZ_ECHO") != nullptr;

void echo(const char* kind, const ImapHeaderRecord& r) {
  if (!g_echo) return;
  auto show = [](const std::optional<std::string>& v) {
    return v ? "\"" + *v + "\"" : std::string("-");
  };
  std::fprintf(stderr,
               "%s uid=%u subject=%s from=%s to=%s date=%s message-id=%s in-reply-to=%s seen=%d "
               "flagged=%d\n",
               kind, r.uid, show(r.subject).c_str(), show(r.from).c_str(), show(r.to).c_str(),
               show(r.date).c_str(), show(r.messageId).c_str(), show(r.inReplyTo).c_str(), r.seen,
               r.flagged);
}

// libetpan allocates a literal's announced size before reading it, so "{4294967295}" makes
// it ask for 4 GiB at once (only virtual memory outside ASan, where the read then ends
// the exchange; beyond libFuzzer's malloc limit here). Inputs announcing a literal larger
// than this are skipped; smaller literals that the input cannot fill still run.
constexpr uint64_t kLargestLiteral = 1 << 20;

bool announces_huge_literal(std::string_view input) {
  for (size_t open = input.find('{'); open != std::string_view::npos;
       open = input.find('{', open + 1)) {
    uint64_t n = 0;
    size_t i = open + 1;
    while (i < input.size() && input[i] >= '0' && input[i] <= '9' && n <= kLargestLiteral)
      n = n * 10 + static_cast<uint64_t>(input[i++] - '0');
    if (n > kLargestLiteral) return true;
  }
  return false;
}

// libetpan 1.9.4 crashes (strdup of a null pointer in mailimap_parse_response) on a status
// response, untagged or the tagged completion, whose code is ALERT or PARSE and that has no
// text after it: "* OK [ALERT]", "* NO [parse] \t", "1 OK [ ALERT\t]" (libetpan skips
// spaces and tabs inside the brackets and after them, and a NUL ends the text as a line end
// does).
// Found by this target; a real server that sends such a line over a socket crashes the
// client the same way, which is why the transport makes such codes unknown (over a socket a
// NUL in the line is a parse error instead). Inputs holding such a line are skipped so that
// the run gets past it.
bool has_textless_alert(std::string_view input) {
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  auto blanks = [&](size_t i) {
    while (i < input.size() && (input[i] == ' ' || input[i] == '\t')) ++i;
    return i;
  };
  for (size_t open = input.find('['); open != std::string_view::npos;
       open = input.find('[', open + 1)) {
    const size_t word = blanks(open + 1);
    for (std::string_view code : {std::string_view("ALERT"), std::string_view("PARSE")}) {
      if (input.size() - word < code.size()) continue;
      bool same = true;
      for (size_t k = 0; k < code.size() && same; ++k) same = upper(input[word + k]) == code[k];
      if (!same) continue;
      const size_t close = blanks(word + code.size());
      if (close == input.size() || input[close] != ']') continue;
      const size_t i = blanks(close + 1);
      if (i == input.size() || input[i] == '\r' || input[i] == '\n' || input[i] == '\0')
        return true;
    }
  }
  return false;
}

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "IMAP envelope: %s\ninput: %.*s\n", what, static_cast<int>(input.size()),
               input.data());
  std::abort();
}

template <typename T, typename F>
void for_each_in(clist* list, F&& visit) {
  if (!list) return;
  for (clistiter* cell = clist_begin(list); cell; cell = clist_next(cell))
    visit(static_cast<T*>(clist_content(cell)));
}

void check_addresses(clist* addresses, std::string_view input) {
  for_each_in<mailimap_address>(addresses, [&](mailimap_address* address) {
    const std::string bare = format_imap_address(address, ImapAddressStyle::Bare);
    const std::string named = format_imap_address(address, ImapAddressStyle::WithDisplayName);
    if (!address) {
      if (!bare.empty() || !named.empty()) fail("a missing address formats as text", input);
      return;
    }
    // The same address without its personal name: the named style must only wrap it.
    mailimap_address nameless = *address;
    nameless.ad_personal_name = nullptr;
    const std::string inner = format_imap_address(&nameless, ImapAddressStyle::WithDisplayName);
    if (address->ad_personal_name &&
        named != std::string(address->ad_personal_name) + " <" + inner + ">")
      fail("the named style is not \"personal <address>\"", input);
    if (format_imap_address(&nameless, ImapAddressStyle::Bare) != bare)
      fail("the bare style depends on the personal name", input);
    const bool lone_host =
        address->ad_host_name && (!address->ad_mailbox_name || address->ad_mailbox_name[0] == '\0');
    if (inner != (lone_host ? "@" + bare : bare))
      fail("the two address styles differ beyond the name and a lone \"@host\"", input);
  });
}

void check_envelope(const mailimap_envelope* envelope, std::string_view input) {
  if (!envelope) return;
  if (envelope->env_from) check_addresses(envelope->env_from->frm_list, input);
  if (envelope->env_sender) check_addresses(envelope->env_sender->snd_list, input);
  if (envelope->env_reply_to) check_addresses(envelope->env_reply_to->rt_list, input);
  if (envelope->env_to) check_addresses(envelope->env_to->to_list, input);
  if (envelope->env_cc) check_addresses(envelope->env_cc->cc_list, input);
  if (envelope->env_bcc) check_addresses(envelope->env_bcc->bcc_list, input);
}

void check_record(const ImapHeaderRecord& record, std::string_view input) {
  if (record.from && record.from->empty()) fail("an empty \"from\" instead of none", input);
  if (record.to && record.to->empty()) fail("an empty \"to\" instead of none", input);
}

// A text field of a record against the envelope's member: present exactly when sent.
void check_text(const std::optional<std::string>& field, const char* sent, const char* name,
                std::string_view input) {
  if (field.has_value() != (sent != nullptr) || (sent && *field != sent)) {
    std::fprintf(stderr, "field %s\n", name);
    fail("a record's text is not the envelope's", input);
  }
}

// A message with exactly one envelope: the record of the single-message fetch made from it
// alone and the batch record (when there is one) read the same envelope and FLAGS items.
void check_builders_agree(const mailimap_msg_att* message, const mailimap_envelope* envelope,
                          const std::optional<ImapHeaderRecord>& batch, std::string_view input) {
  ImapHeaderRecord alone;
  merge_into_header_record(alone, message);
  check_text(alone.subject, envelope->env_subject, "subject", input);
  check_text(alone.date, envelope->env_date, "date", input);
  check_text(alone.messageId, envelope->env_message_id, "message-id", input);
  check_text(alone.inReplyTo, envelope->env_in_reply_to, "in-reply-to", input);
  if (alone.uid != 0) fail("the single-message fetch wrote a UID", input);
  if (!batch) return;
  ImapHeaderRecord same = *batch;
  same.uid = 0;
  same.from = alone.from;
  if (same != alone) fail("the two record builders disagree beyond \"from\" and the UID", input);
  if (batch->from.has_value() && !alone.from.has_value()) {
    // Only a first address with a personal name, or a host but no mailbox text, can be
    // empty in the bare style and not in the named one.
    const mailimap_address* first = static_cast<const mailimap_address*>(
        clist_content(clist_begin(envelope->env_from->frm_list)));
    if (!first->ad_personal_name && !first->ad_host_name)
      fail("a named \"from\" without a bare one", input);
  }
  if (alone.from.has_value() && !batch->from.has_value())
    fail("a bare \"from\" without a named one", input);
}

// Folding a message in overwrites fields or leaves them; it never clears one.
void check_kept(const ImapHeaderRecord& before, const ImapHeaderRecord& after,
                std::string_view input) {
  auto kept = [](const std::optional<std::string>& b, const std::optional<std::string>& a) {
    return !b || a;
  };
  if (!kept(before.subject, after.subject) || !kept(before.from, after.from) ||
      !kept(before.to, after.to) || !kept(before.date, after.date) ||
      !kept(before.messageId, after.messageId) || !kept(before.inReplyTo, after.inReplyTo))
    fail("folding a message into the record lost a field", input);
}

void flatten(clist* messages, std::string_view input) {
  ImapHeaderRecord single;
  for_each_in<mailimap_msg_att>(messages, [&](mailimap_msg_att* message) {
    // What the batch record must make of this message: the last UID item counts.
    uint32_t uid = 0;
    bool has_envelope = false;
    int envelopes = 0;
    const mailimap_envelope* envelope = nullptr;
    for_each_in<mailimap_msg_att_item>(
        message ? message->att_list : nullptr, [&](mailimap_msg_att_item* item) {
          if (!item) return;
          if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC) {
            imap_flag_state(item->att_data.att_dyn);
            return;
          }
          const mailimap_msg_att_static* s = item->att_data.att_static;
          if (!s) return;
          if (s->att_type == MAILIMAP_MSG_ATT_UID) uid = s->att_data.att_uid;
          if (s->att_type == MAILIMAP_MSG_ATT_ENVELOPE && s->att_data.att_env) {
            has_envelope = true;
            ++envelopes;
            envelope = s->att_data.att_env;
            check_envelope(envelope, input);
          }
        });

    const std::optional<ImapHeaderRecord> batch = batch_header_record(message);
    if (batch && (uid == 0 || !has_envelope)) fail("a batch record without UID or envelope", input);
    if (!batch && uid != 0 && has_envelope)
      fail("no batch record for a message with UID and envelope", input);
    if (batch) {
      if (batch->uid != uid) fail("the batch record's UID is not the message's", input);
      check_record(*batch, input);
      echo("batch ", *batch);
    }

    if (envelopes == 1) check_builders_agree(message, envelope, batch, input);

    const ImapHeaderRecord before = single;
    merge_into_header_record(single, message);
    check_record(single, input);
    check_kept(before, single, input);
  });
  echo("single", single);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Conversation conversation;
  conversation.incoming = "* OK IMAP server ready\r\n";
  conversation.answer = std::string_view(reinterpret_cast<const char*>(data), size);
  // Inputs that reach the libetpan faults above are not run (nor kept in the corpus).
  if (announces_huge_literal(conversation.answer) || has_textless_alert(conversation.answer))
    return -1;

  ImapPtr imap(mailimap_new(0, nullptr));
  if (!imap) return 0;
  mailstream_low* low = mailstream_low_new(&conversation, &g_memory_driver);
  mailstream* stream = low ? mailstream_new(low, 8192) : nullptr;
  if (!stream) {
    if (low) mailstream_low_free(low);
    return 0;
  }
  // The session owns the stream from here and closes it when freed.
  const int connected = mailimap_connect(imap.get(), stream);
  if (connected != MAILIMAP_NO_ERROR_NON_AUTHENTICATED) fail("the greeting was not accepted", "");

  // As after LOGIN and SELECT: the session keeps the mailbox status that untagged EXISTS,
  // RECENT, FLAGS and the like in the answer update.
  imap->imap_state = MAILIMAP_STATE_SELECTED;
  imap->imap_selection_info = mailimap_selection_info_new();

  SetPtr set(mailimap_set_new_interval(1, 0));
  FetchTypePtr fetch_type(mailimap_fetch_type_new_fetch_att_list_empty());
  if (!set || !fetch_type) return 0;
  mailimap_fetch_type_new_fetch_att_list_add(fetch_type.get(), mailimap_fetch_att_new_uid());
  mailimap_fetch_type_new_fetch_att_list_add(fetch_type.get(), mailimap_fetch_att_new_envelope());
  mailimap_fetch_type_new_fetch_att_list_add(fetch_type.get(), mailimap_fetch_att_new_flags());

  clist* result = nullptr;
  const int r = mailimap_uid_fetch(imap.get(), set.get(), fetch_type.get(), &result);
  FetchListPtr messages(result);
  if (g_echo)
    std::fprintf(stderr, "UID FETCH: result %d, %d messages\n", r,
                 messages ? clist_count(messages.get()) : -1);
  if (r == MAILIMAP_NO_ERROR) flatten(messages.get(), conversation.answer);
  return 0;
}
