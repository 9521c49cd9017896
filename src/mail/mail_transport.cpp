#include "mail/mail_transport.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <libetpan/libetpan.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/cancellation.h"
#include "platform/proxy_settings.h"
#include "util/localization.h"
#include "util/text.h"

namespace kestrova::mail {

namespace {

// Caps on what an IMAP server may send. A response line (the text between literals) holds
// at most a SEARCH answer of a few million UIDs; a literal is at most one message or body
// part, well above the 10 MiB bodies are cut to; an answer is everything the server sends
// for one command, such as a UID FETCH listing every message of a very large folder.
constexpr size_t kMaxLineBytes = size_t{16} << 20;
constexpr uint64_t kMaxLiteralBytes = uint64_t{64} << 20;
constexpr uint64_t kMaxImapAnswerBytes = uint64_t{256} << 20;
// Real BODYSTRUCTUREs nest a few levels per MIME level (servers stop at about 100 MIME
// levels); libetpan parses nesting by recursion, so a deeper answer would exhaust the stack.
constexpr int kMaxNesting = 256;
// An SMTP reply is a few short lines (RFC 5321 §4.5.3.1.5: 512 bytes each).
constexpr uint64_t kMaxSmtpReplyBytes = uint64_t{1} << 20;
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kStreamBufferSize = 8192;
// The capability list put where a server sent none (RFC 3501 §7.2.1: IMAP4rev1 is always in
// it).
constexpr std::string_view kLeastCapabilities = "CAPABILITY IMAP4rev1\r\n";

std::string mib(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

bool is_ip_literal(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

bool equals_ascii_ci(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// What an IMAP server sends (RFC 3501 §4 and §9), followed closely enough to keep the
// caps: a response is text lines ended by CRLF, each but the last announcing a literal
// "{n}" whose n bytes follow and are passed on untouched. Parentheses are counted outside
// quoted strings and literals.
class ImapResponseFilter {
 public:
  // Checks one complete line (CRLF included) and may rewrite a harmless byte of it, or
  // complete a capability list. Returns the problem that ends the connection, if any.
  std::optional<TransportProblem> line(std::string& line, std::optional<std::string>& refusal) {
    response_bytes_ += line.size();
    // A response's first line is read once for its tag and status (the rewrites below change
    // one letter of a code, never where the parts start).
    StatusLine parsed;
    bool empty_capabilities = false;
    if (first_line_) {
      parsed = status_line(line);
      neutralize_empty_alert(line, parsed);
      if (greeting_ || parsed.tag == "+") neutralize_stateless_codes(line, parsed);
      neutralize_broken_permanent_flags(line, parsed);
      empty_capabilities = neutralize_empty_capabilities(line, parsed);
      note_refusal(line, parsed, refusal);
    }
    const size_t capabilities_at = parsed.text;
    const bool add_capability = first_line_ && capability_missing(line, parsed);
    greeting_ = false;
    const size_t text_end = line.size() - (line.ends_with("\r\n") ? 2 : 1);
    const std::string_view text = std::string_view(line).substr(0, text_end);
    bool quoted = false;
    // The first "{n}" over the literal cap outside quoted strings, and anywhere.
    std::optional<uint64_t> oversized, oversized_anywhere;
    for (size_t i = 0; i < text_end; ++i) {
      const char c = line[i];
      if (c == '{') {
        const auto size = announcement_at(text, i);
        if (size && *size > kMaxLiteralBytes) {
          if (!quoted && !oversized) oversized = size;
          if (!oversized_anywhere) oversized_anywhere = size;
        }
      }
      if (quoted) {
        if (c == '\\')
          ++i;
        else if (c == '"')
          quoted = false;
      } else if (c == '"') {
        quoted = true;
      } else if (c == '(') {
        if (++depth_ > kMaxNesting)
          return TransportProblem{TransportProblem::Kind::tooDeep,
                                  localized_format("mail.transport.too_deep", kMaxNesting)};
      } else if (c == ')' && depth_ > 0) {
        --depth_;
      }
    }
    // libetpan reads a literal only after "{n}" CRLF; after a bare LF the next bytes are
    // lines to it, so they are lines here too (and checked as such).
    // Nor is "{n}" at the end of a status answer's or a continuation's text a literal: it is
    // text there, to libetpan as to the protocol.
    const bool text_only = first_line_ && (!parsed.status.empty() || parsed.tag == "+");
    // libetpan reserves a literal's whole size as soon as it parses "{n}", before it looks
    // at what follows, and in a line broken inside a quoted string or by a NUL its parser may
    // stand anywhere: outside quoted strings, or anywhere in such a line, an announcement
    // over the cap ends the connection (a status answer's text is text to libetpan).
    const bool broken = quoted || text.find('\0') != std::string_view::npos;
    if (!text_only || broken)
      if (const auto size = broken ? oversized_anywhere : oversized)
        return literal_too_large(*size);
    const std::optional<uint64_t> announced = text_only ? std::nullopt : announced_literal(text);
    const std::optional<uint64_t> literal =
        quoted || !line.ends_with("\r\n") ? std::nullopt : announced;
    if (!literal) {
      first_line_ = true;
      depth_ = 0;
      response_bytes_ = 0;
      if (empty_capabilities) line.replace(capabilities_at, std::string::npos, kLeastCapabilities);
      if (add_capability) line.insert(0, "* " + std::string(kLeastCapabilities));
      return std::nullopt;
    }
    first_line_ = false;
    if (response_bytes_ + *literal > kMaxLiteralBytes + kMaxLineBytes)
      return literal_too_large(*literal);
    literal_left_ = *literal;
    response_bytes_ += *literal;
    return std::nullopt;
  }

  // libetpan 1.9.4 crashes when a CAPABILITY command succeeds and no capability list was
  // ever sent (neither in its answer nor in a code of the greeting or LOGIN). So the answer
  // to a CAPABILITY command, `tag`, is watched: when its OK comes without a list, the
  // least list there is goes before it.
  void capability_asked(std::string_view tag) { capability_tag_ = std::string(tag); }

  uint64_t literal_left() const { return literal_left_; }
  void literal_passed(size_t bytes) { literal_left_ -= bytes; }

 private:
  static TransportProblem literal_too_large(uint64_t size) {
    return {TransportProblem::Kind::tooLarge,
            localized_format("mail.transport.literal_too_large", size, mib(kMaxLiteralBytes))};
  }

  // The size "{n}" or "{n+}" at text[at] announces, if that is one.
  static std::optional<uint64_t> announcement_at(std::string_view text, size_t at) {
    size_t end = at + 1;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end < text.size() && text[end] == '+') ++end;
    if (end >= text.size() || text[end] != '}') return std::nullopt;
    return announced_literal(text.substr(at, end + 1 - at));
  }

  // "{123}" or the non-synchronizing "{123+}" (RFC 7888) at the end of the line's text; a
  // number of more than 19 digits counts as the largest there is.
  static std::optional<uint64_t> announced_literal(std::string_view text) {
    if (text.size() < 3 || text.back() != '}') return std::nullopt;
    size_t end = text.size() - 1;
    if (text[end - 1] == '+') --end;
    size_t start = end;
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
    if (start == end || start == 0 || text[start - 1] != '{') return std::nullopt;
    if (end - start > 19) return UINT64_MAX;
    uint64_t value = 0;
    for (size_t i = start; i < end; ++i) value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    return value;
  }

  // The tag ("*", "+" or the command's), the status word if any, and where the text after
  // them starts. libetpan takes a run of spaces and tabs wherever one space belongs, and
  // before the tag as well, so runs are skipped here too: the checks below must see the line
  // as libetpan will.
  struct StatusLine {
    std::string_view tag, status;
    size_t text = 0;
  };
  static StatusLine status_line(std::string_view line) {
    StatusLine parsed;
    const size_t tag_start = line.find_first_not_of(" \t");
    if (tag_start == std::string_view::npos) return parsed;
    // libetpan takes "+" for a continuation also without the space after it.
    if (line[tag_start] == '+') {
      parsed.tag = line.substr(tag_start, 1);
      parsed.text = std::min(line.find_first_not_of(" \t", tag_start + 1), line.size());
      return parsed;
    }
    const size_t tag_end = line.find_first_of(" \t", tag_start);
    if (tag_end == std::string_view::npos) return parsed;
    parsed.tag = line.substr(tag_start, tag_end - tag_start);
    parsed.text = std::min(line.find_first_not_of(" \t", tag_end), line.size());
    if (parsed.tag == "+") return parsed;
    const size_t word_end = line.find_first_of(" \t\r", parsed.text);
    if (word_end == std::string_view::npos) return parsed;
    const std::string_view word = line.substr(parsed.text, word_end - parsed.text);
    for (std::string_view status : {"OK", "NO", "BAD", "BYE", "PREAUTH"}) {
      if (equals_ascii_ci(word, status)) {
        parsed.status = status;
        parsed.text = std::min(line.find_first_not_of(" \t", word_end), line.size());
      }
    }
    return parsed;
  }

  // Where the first response code of a status line or a continuation starts in the line
  // (libetpan skips spaces and tabs after the bracket too), or npos when it has none.
  static size_t code_at(std::string_view line, const StatusLine& parsed) {
    if (parsed.tag.empty() || (parsed.status.empty() && parsed.tag != "+")) return line.npos;
    const std::string_view rest = line.substr(parsed.text);
    if (!rest.starts_with('[')) return line.npos;
    const size_t code = rest.find_first_not_of(" \t", 1);
    return code == rest.npos ? line.npos : parsed.text + code;
  }

  // libetpan 1.9.4 dereferences a null text after the response codes ALERT and PARSE
  // when no text follows them ("* OK [ALERT]", also with spaces or tabs inside the
  // brackets, or a NUL after them). Such a code carries nothing without its text, so its
  // first letter is changed, which makes it an unknown code that libetpan skips (RFC 3501
  // §7.1 lets clients ignore codes they do not know).
  static void neutralize_empty_alert(std::string& line, const StatusLine& parsed) {
    const std::string_view view = line;
    const size_t code = code_at(view, parsed);
    if (code == view.npos || view.size() < code + 5) return;
    const std::string_view word = view.substr(code, 5);
    if (!equals_ascii_ci(word, "ALERT") && !equals_ascii_ci(word, "PARSE")) return;
    const size_t close = view.find_first_not_of(" \t", code + 5);
    if (close == view.npos || view[close] != ']') return;
    const size_t text = view.find_first_not_of(" \t", close + 1);
    // libetpan's text ends at a NUL as at the line's end.
    if (text != view.npos && view[text] != '\r' && view[text] != '\n' && view[text] != '\0')
      return;  // text follows
    line[code] = 'X';
  }

  // libetpan 1.9.4 crashes on a capability list without a capability: an untagged
  // "* CAPABILITY" with nothing after it (a NUL ends its text), or the code "[CAPABILITY]".
  // Such a code is made unknown; true for such an answer, which the caller completes with
  // the least list there is (it must not move the line's parts before it is done with them).
  static bool neutralize_empty_capabilities(std::string& line, const StatusLine& parsed) {
    constexpr std::string_view kWord = "CAPABILITY";
    const std::string_view view = line;
    const bool data = parsed.tag == "*" && parsed.status.empty();
    const size_t word = data ? parsed.text : code_at(view, parsed);
    if (word == view.npos || view.size() < word + kWord.size() ||
        !equals_ascii_ci(view.substr(word, kWord.size()), kWord))
      return false;
    const size_t after = view.find_first_not_of(" \t", word + kWord.size());
    if (after != view.npos &&
        std::string_view(data ? "\r\n" : "]\r\n").find(view[after]) == view.npos &&
        view[after] != '\0')
      return false;
    if (data) return true;
    line[word] = 'X';
    return false;
  }

  // libetpan 1.9.4 also dereferences null pointers when the flag list of a PERMANENTFLAGS
  // code is broken: "* OK [PERMANENTFLAGS (%]", "(\\Seen)", "(T]" — a quote, a brace, a
  // control character, a lone backslash or a missing parenthesis anywhere in it. A list that
  // is not well-formed says nothing usable, so the code is made unknown the same way; the
  // check is stricter than libetpan (a space before ")" counts as broken), which costs only
  // the list of a server that writes it so.
  static void neutralize_broken_permanent_flags(std::string& line, const StatusLine& parsed) {
    constexpr std::string_view kCode = "PERMANENTFLAGS";
    const std::string_view view = line;
    const size_t code = code_at(view, parsed);
    if (code == view.npos || view.size() <= code + kCode.size() ||
        !equals_ascii_ci(view.substr(code, kCode.size()), kCode))
      return;
    const size_t open = view.find_first_not_of(" \t", code + kCode.size());
    if (open == code + kCode.size() || open == view.npos || view[open] != '(') return;
    if (!well_formed_flag_list(view, open + 1)) line[code] = 'X';
  }

  // libetpan 1.9.4 parses the greeting, and a continuation request it waits for (APPEND's
  // literal, IDLE, an XOAUTH2 challenge), without the parser state it keeps for other
  // answers, and dereferences that missing state in the lists of some codes: PERMANENTFLAGS
  // and BADCHARSET, well-formed or not. Of the codes such a line may carry, a client uses
  // only the capabilities and an alert, so every other code is made unknown there (the
  // filter cannot tell which continuations libetpan waits for, so this holds for all of them).
  static void neutralize_stateless_codes(std::string& line, const StatusLine& parsed) {
    const std::string_view view = line;
    const size_t code = code_at(view, parsed);
    if (code == view.npos) return;
    const std::string_view word = view.substr(code, view.find_first_of(" \t]\r\n", code) - code);
    if (word.empty() || equals_ascii_ci(word, "CAPABILITY") || equals_ascii_ci(word, "ALERT"))
      return;
    line[code] = 'X';
  }

  // Whether rest[at, …) is "flag *(SP flag))" or ")" followed by "]" (after spaces or tabs),
  // where a flag is an atom, "\" and an atom, or "\*".
  static bool well_formed_flag_list(std::string_view rest, size_t at) {
    const auto atom_char = [](unsigned char c) {
      return c > 0x20 && c != 0x7F &&
             std::string_view("(){%*\"]\\").find(static_cast<char>(c)) == std::string_view::npos;
    };
    const auto blank = [&](size_t k) {
      return k < rest.size() && (rest[k] == ' ' || rest[k] == '\t');
    };
    size_t i = at;
    for (bool first = true;; first = false) {
      if (i >= rest.size()) return false;
      if (rest[i] == ')') break;
      if (!first) {
        if (!blank(i)) return false;
        while (blank(i)) ++i;
      }
      if (i < rest.size() && rest[i] == '\\') {
        ++i;
        if (i < rest.size() && rest[i] == '*') {
          ++i;
          continue;
        }
      }
      const size_t word = i;
      while (i < rest.size() && atom_char(static_cast<unsigned char>(rest[i]))) ++i;
      if (i == word) return false;
    }
    ++i;  // past ")"
    while (blank(i)) ++i;
    return i < rest.size() && rest[i] == ']';
  }

  // Whether `line` completes the awaited CAPABILITY answer without a list before it.
  bool capability_missing(std::string_view line, const StatusLine& parsed) {
    if (!capability_tag_) return false;
    if (parsed.tag == "*" && parsed.status.empty()) {
      const std::string_view rest = line.substr(parsed.text);
      if (rest.size() >= 10 && equals_ascii_ci(rest.substr(0, 10), "CAPABILITY"))
        capability_tag_.reset();
      return false;
    }
    if (parsed.tag != *capability_tag_) return false;
    capability_tag_.reset();
    return parsed.status == "OK";
  }

  static void note_refusal(std::string_view line, const StatusLine& parsed,
                           std::optional<std::string>& refusal) {
    const bool tagged = parsed.tag != "*" && parsed.tag != "+";
    if ((tagged && (parsed.status == "NO" || parsed.status == "BAD")) ||
        (!tagged && parsed.status == "BYE"))
      refusal = quoted_server_text(line.substr(parsed.text));
  }

  bool first_line_ = true;
  bool greeting_ = true;  // the connection's first line is yet to come
  std::optional<std::string> capability_tag_;  // of a CAPABILITY command not yet answered
  int depth_ = 0;
  uint64_t literal_left_ = 0;
  uint64_t response_bytes_ = 0;
};

// ---------------------------------------------------------------------------------------

}  // namespace

struct MailTransport::State {
  MailProtocol protocol;
  std::string host;
  uint16_t port;
  std::chrono::milliseconds timeout;
  CertificateTrust trust;
  std::optional<TransportProblem> problem;
  std::optional<std::string> refusal;
  bool tlsFailed = false;
};

namespace {

enum class WaitResult { ready, timedOut, cancelled };

// Waits up to `limit` for `events` on `fd`, looking at the process's cancellation token
// between slices of at most kCancellationCheckInterval: a server that answers is served
// even while the process stops, a silent one is given up within one slice. An error of
// poll() counts as ready, so that the next call reports it.
WaitResult wait_on_socket(int fd, short events, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + limit;
  pollfd entry{fd, events, 0};
  while (true) {
    const auto left =
        std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                 std::chrono::milliseconds(0));
    const auto slice = std::min(left, platform::kCancellationCheckInterval);
    const int ready_count = ::poll(&entry, 1, static_cast<int>(slice.count()));
    if (ready_count > 0) return WaitResult::ready;
    if (ready_count < 0 && errno != EINTR) return WaitResult::ready;
    if (platform::CancellationToken::process().cancelled()) return WaitResult::cancelled;
    if (Clock::now() >= deadline) return WaitResult::timedOut;
  }
}

// The low-level stream's own data: one socket, TLS over it once started, and what has
// been read from the server but not yet given to libetpan.
struct Connection {
  std::shared_ptr<MailTransport::State> state;
  int fd = -1;
  gnutls_session_t tls = nullptr;
  gnutls_certificate_credentials_t credentials = nullptr;
  bool handshaking = false;
  bool received_anything = false;
  bool dead = false;
  uint64_t answer_bytes = 0;  // since the last write
  ImapResponseFilter filter;
  std::string raw;  // read; raw[raw_at, …) not yet filtered
  size_t raw_at = 0;
  size_t scan_from = 0;  // raw[raw_at, scan_from) holds no line end
  std::string ready;     // filtered, not yet given to libetpan
  size_t ready_at = 0;

  ~Connection() {
    if (tls) gnutls_deinit(tls);
    if (credentials) gnutls_certificate_free_credentials(credentials);
    if (fd >= 0) ::close(fd);
  }

  // Ends the connection for good; later reads and writes fail at once.
  void give_up(TransportProblem problem) {
    if (!state->problem) state->problem = std::move(problem);
    dead = true;
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }

  void timed_out() {
    const std::string_view key = handshaking         ? "mail.timeout.handshake"
                                 : received_anything ? "mail.timeout.answer"
                                                     : "mail.timeout.greeting";
    std::string text = localized_format(key, seconds_text(state->timeout));
    if (!received_anything && !tls) text += localized("mail.hint.needs_tls");
    give_up({TransportProblem::Kind::timedOut, std::move(text)});
  }

  // Waits for the socket to become readable or writable; false when the time limit passed
  // or the process was asked to stop (the problem is then recorded).
  bool wait_for(short events) {
    const WaitResult result = wait_on_socket(fd, events, state->timeout);
    if (result == WaitResult::cancelled) stopped();
    return result == WaitResult::ready;
  }

  void stopped() {
    give_up({TransportProblem::Kind::cancelled, localized("mail.transport.cancelled")});
  }

  // Bytes from the socket: >0 read, 0 at the end of the stream, -1 on an error or when
  // the time limit passed (errno ETIMEDOUT).
  ssize_t receive(void* buffer, size_t count) {
    if (dead || state->problem) {
      errno = EIO;
      return -1;
    }
    while (true) {
      const ssize_t got = ::recv(fd, buffer, count, 0);
      if (got > 0) received_anything = true;
      if (got >= 0) return got;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (!wait_for(POLLIN)) {
        if (!dead) timed_out();
        errno = ETIMEDOUT;
        return -1;
      }
    }
  }

  ssize_t send_some(const void* buffer, size_t count) {
    if (dead || state->problem) {
      errno = EIO;
      return -1;
    }
    while (true) {
      const ssize_t sent = ::send(fd, buffer, count, MSG_NOSIGNAL);
      if (sent >= 0) return sent;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (!wait_for(POLLOUT)) {
        if (!dead) timed_out();
        errno = ETIMEDOUT;
        return -1;
      }
    }
  }

  // One read from the server, through TLS when it is on. 0 or -1 both end the stream.
  ssize_t read_raw(void* buffer, size_t count) {
    ssize_t got;
    if (!tls) {
      got = receive(buffer, count);
    } else {
      do {
        got = gnutls_record_recv(tls, buffer, count);
      } while (got == GNUTLS_E_INTERRUPTED || got == GNUTLS_E_AGAIN);
      if (got < 0) got = -1;
    }
    if (got <= 0) return -1;
    answer_bytes += static_cast<uint64_t>(got);
    const bool imap = state->protocol == MailProtocol::imap;
    const uint64_t cap = imap ? kMaxImapAnswerBytes : kMaxSmtpReplyBytes;
    if (answer_bytes > cap) {
      give_up({TransportProblem::Kind::tooLarge,
               localized_format("mail.transport.answer_too_large", mib(cap))});
      return -1;
    }
    return got;
  }

  ssize_t write_all(const char* data, size_t count) {
    state->refusal.reset();
    if (state->protocol == MailProtocol::imap) {
      const std::string_view command(data, count);
      if (command.ends_with(" CAPABILITY\r\n") && command.find(' ') + 13 == count)
        filter.capability_asked(command.substr(0, command.find(' ')));
    }
    answer_bytes = 0;
    size_t written = 0;
    while (written < count) {
      ssize_t sent;
      if (!tls) {
        sent = send_some(data + written, count - written);
      } else {
        do {
          sent = gnutls_record_send(tls, data + written, count - written);
        } while (sent == GNUTLS_E_INTERRUPTED || sent == GNUTLS_E_AGAIN);
      }
      if (sent <= 0) return -1;
      written += static_cast<size_t>(sent);
    }
    return static_cast<ssize_t>(count);
  }

  size_t raw_left() const { return raw.size() - raw_at; }

  // IMAP: whole lines are checked before libetpan sees them; literal bytes go through as
  // they come.
  ssize_t read_imap(char* buffer, size_t count) {
    while (true) {
      if (dead || state->problem) return -1;
      if (ready_at < ready.size()) {
        const size_t n = std::min(count, ready.size() - ready_at);
        std::memcpy(buffer, ready.data() + ready_at, n);
        ready_at += n;
        return static_cast<ssize_t>(n);
      }
      if (const uint64_t left = filter.literal_left(); left > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, count));
        size_t n;
        if (raw_left() > 0) {
          n = std::min(want, raw_left());
          std::memcpy(buffer, raw.data() + raw_at, n);
          raw_at += n;
          scan_from = raw_at;
        } else {
          const ssize_t got = read_raw(buffer, want);
          if (got < 0) return -1;
          n = static_cast<size_t>(got);
        }
        filter.literal_passed(n);
        return static_cast<ssize_t>(n);
      }
      // libetpan ends a line at LF; so does the filter.
      const size_t end = raw.find('\n', std::max(scan_from, raw_at));
      if (end == std::string::npos) {
        if (raw_left() > kMaxLineBytes) {
          give_up({TransportProblem::Kind::tooLarge,
                   localized_format("mail.transport.line_too_long", mib(kMaxLineBytes))});
          return -1;
        }
        raw.erase(0, raw_at);
        raw_at = 0;
        scan_from = raw.size();
        const size_t had = raw.size();
        raw.resize(had + kReadChunk);
        const ssize_t got = read_raw(raw.data() + had, kReadChunk);
        raw.resize(had + static_cast<size_t>(std::max<ssize_t>(got, 0)));
        if (got < 0) return -1;
        continue;
      }
      ready.assign(raw, raw_at, end + 1 - raw_at);
      ready_at = 0;
      raw_at = end + 1;
      scan_from = raw_at;
      if (auto problem = filter.line(ready, state->refusal)) {
        give_up(std::move(*problem));
        return -1;
      }
    }
  }

  ssize_t read(void* buffer, size_t count) {
    if (count == 0) return 0;
    if (state->protocol == MailProtocol::imap) return read_imap(static_cast<char*>(buffer), count);
    return read_raw(buffer, count);
  }

  // ---- TLS

  bool tls_failed(TransportProblem problem) {
    state->tlsFailed = true;
    give_up(std::move(problem));
    return false;
  }

  // GnuTLS retries after EAGAIN and EINTR; our waits are over when these fail, so such an
  // errno must not reach it.
  void report_failure_to_tls() {
    const int error = errno;
    const bool retry = error == 0 || error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
    gnutls_transport_set_errno(tls, retry ? EIO : error);
  }
  static ssize_t pull(gnutls_transport_ptr_t self, void* buffer, size_t count) {
    auto* connection = static_cast<Connection*>(self);
    const ssize_t got = connection->receive(buffer, count);
    if (got < 0) connection->report_failure_to_tls();
    return got;
  }
  static ssize_t push(gnutls_transport_ptr_t self, const void* data, size_t count) {
    auto* connection = static_cast<Connection*>(self);
    const ssize_t sent = connection->send_some(data, count);
    if (sent < 0) connection->report_failure_to_tls();
    return sent;
  }
  static int pull_timeout(gnutls_transport_ptr_t self, unsigned int ms) {
    auto* connection = static_cast<Connection*>(self);
    const auto limit = ms == GNUTLS_INDEFINITE_TIMEOUT ? connection->state->timeout
                                                       : std::chrono::milliseconds(ms);
    switch (wait_on_socket(connection->fd, POLLIN, limit)) {
      case WaitResult::ready:
        return 1;
      case WaitResult::timedOut:
        return 0;
      case WaitResult::cancelled:
        connection->stopped();
        errno = EIO;
        return -1;
    }
    return -1;
  }

  // The TLS handshake over the connected socket, then the certificate check; nothing is
  // read or written over TLS before both passed. `implicit`: TLS from the first byte.
  bool start_tls(bool implicit) {
    const std::string& host = state->host;
    if (gnutls_certificate_allocate_credentials(&credentials) < 0 ||
        gnutls_init(&tls, GNUTLS_CLIENT) < 0)
      return tls_failed(
          {TransportProblem::Kind::tlsHandshake, localized("mail.transport.no_tls_session")});
    gnutls_certificate_set_x509_system_trust(credentials);
    if (const auto& file = state->trust.caFile) {
      if (gnutls_certificate_set_x509_trust_file(credentials, file->c_str(), GNUTLS_X509_FMT_PEM) <=
          0)
        return tls_failed({TransportProblem::Kind::certificate,
                           localized_format("mail.transport.ca_file", host, *file)});
    }
    gnutls_set_default_priority(tls);
    gnutls_credentials_set(tls, GNUTLS_CRD_CERTIFICATE, credentials);
    // RFC 6066 §3: server name indication carries host names only.
    if (!is_ip_literal(host))
      gnutls_server_name_set(tls, GNUTLS_NAME_DNS, host.data(), host.size());
    gnutls_transport_set_ptr(tls, this);
    gnutls_transport_set_pull_function(tls, pull);
    gnutls_transport_set_push_function(tls, push);
    gnutls_transport_set_pull_timeout_function(tls, pull_timeout);
    gnutls_handshake_set_timeout(tls, 0);  // the transport's own limit applies to every read

    int result;
    handshaking = true;
    do {
      result = gnutls_handshake(tls);
    } while (result < 0 && !gnutls_error_is_fatal(result));
    handshaking = false;
    if (result < 0) {
      TransportProblem problem = state->problem.value_or(TransportProblem{
          TransportProblem::Kind::tlsHandshake,
          localized_format("mail.tls.handshake_failed", std::string(gnutls_strerror(result)))});
      if (implicit) problem.text += localized("mail.hint.no_tls");
      state->problem.reset();
      return tls_failed(std::move(problem));
    }
    return verify_certificate();
  }

  // RFC 5280 chain to the trusted authorities, RFC 6125 host name, validity period; or the
  // one certificate the user trusts by fingerprint.
  bool verify_certificate() {
    const std::string& host = state->host;
    unsigned int count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(tls, &count);
    if (!chain || count == 0)
      return tls_failed({TransportProblem::Kind::certificate,
                         localized_format("mail.transport.no_certificate", host)});
    unsigned char digest[32];
    size_t digest_size = sizeof digest;
    if (gnutls_fingerprint(GNUTLS_DIG_SHA256, &chain[0], digest, &digest_size) < 0)
      return tls_failed({TransportProblem::Kind::certificate,
                         localized_format("mail.transport.bad_certificate", host)});
    std::string fingerprint;
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < digest_size; ++i) {
      if (i) fingerprint.push_back(':');
      fingerprint.push_back(kHex[digest[i] >> 4]);
      fingerprint.push_back(kHex[digest[i] & 15]);
    }
    if (state->trust.fingerprint == fingerprint) return true;

    unsigned int status = 0;
    if (gnutls_certificate_verify_peers3(tls, host.c_str(), &status) < 0)
      status = GNUTLS_CERT_INVALID;
    if (status == 0) return true;

    std::string reasons;
    auto reason = [&](unsigned int flag, std::string_view key) {
      if (!(status & flag)) return;
      if (!reasons.empty()) reasons += localized("mail.certificate.reason.separator");
      reasons += localized(key);
    };
    reason(GNUTLS_CERT_EXPIRED, "mail.certificate.reason.expired");
    reason(GNUTLS_CERT_NOT_ACTIVATED, "mail.certificate.reason.not_activated");
    reason(GNUTLS_CERT_SIGNER_NOT_FOUND, "mail.certificate.reason.unknown_issuer");
    reason(GNUTLS_CERT_SIGNER_NOT_CA, "mail.certificate.reason.signer_not_ca");
    reason(GNUTLS_CERT_UNEXPECTED_OWNER, "mail.certificate.reason.name_mismatch");
    reason(GNUTLS_CERT_REVOKED, "mail.certificate.reason.revoked");
    reason(GNUTLS_CERT_INSECURE_ALGORITHM, "mail.certificate.reason.insecure_algorithm");
    reason(GNUTLS_CERT_SIGNATURE_FAILURE, "mail.certificate.reason.bad_signature");
    if (reasons.empty()) reasons = localized("mail.certificate.reason.invalid");
    return tls_failed({TransportProblem::Kind::certificate,
                       localized_format("mail.certificate.untrusted", host, reasons, fingerprint,
                                        state->trust.trustCommand + " " + fingerprint)});
  }
};

Connection* connection_of(mailstream_low* low) { return static_cast<Connection*>(low->data); }

ssize_t low_read(mailstream_low* low, void* buffer, size_t count) {
  return connection_of(low)->read(buffer, count);
}
ssize_t low_write(mailstream_low* low, const void* data, size_t count) {
  return connection_of(low)->write_all(static_cast<const char*>(data), count);
}
int low_close(mailstream_low* low) {
  Connection* connection = connection_of(low);
  if (connection->tls && !connection->dead) gnutls_bye(connection->tls, GNUTLS_SHUT_WR);
  if (connection->fd >= 0) ::close(connection->fd);
  connection->fd = -1;
  connection->dead = true;
  return 0;
}
int low_fd(mailstream_low* low) { return connection_of(low)->fd; }
void low_free(mailstream_low* low) {
  delete connection_of(low);
  std::free(low);
}
void low_cancel(mailstream_low* low) {
  if (connection_of(low)->fd >= 0) ::shutdown(connection_of(low)->fd, SHUT_RDWR);
}
struct mailstream_cancel* low_get_cancel(mailstream_low*) {
  return nullptr;
}
carray* low_certificate_chain(mailstream_low*) { return nullptr; }
// Waiting while idling is the caller's own poll on the socket.
int low_no_idle(mailstream_low*) { return -1; }

mailstream_low_driver kDriver = {low_read,    low_write,   low_close,      low_fd,
                                 low_free,    low_cancel,  low_get_cancel, low_certificate_chain,
                                 low_no_idle, low_no_idle, low_no_idle};

Connection* our_connection(mailstream* stream) {
  mailstream_low* low = stream ? mailstream_get_low(stream) : nullptr;
  return low && low->driver == &kDriver ? connection_of(low) : nullptr;
}

// The system's own words for an errno value (thread-safe).
std::string strerror_text(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);  // GNU: returns the text
}

// Why host:port could not be reached, in words, from the connect's errno.
TransportProblem unreachable(const std::string& host, int port, int error) {
  switch (error) {
    case ECONNREFUSED:
      return {TransportProblem::Kind::unreachable,
              localized_format("mail.connect.refused", host, port)};
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
      return {TransportProblem::Kind::unreachable,
              localized_format("mail.connect.no_route", host, port)};
    default:
      return {TransportProblem::Kind::unreachable,
              localized_format("mail.connect.failed", host, port, strerror_text(error))};
  }
}

// A TCP connection to host:port with the time limit on the connect; -1 when none could be
// made, with the reason recorded as the problem.
int connect_tcp(MailTransport::State& state, const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
      rc != 0) {
    state.problem =
        rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL
            ? TransportProblem{TransportProblem::Kind::unreachable,
                               localized_format("mail.connect.name_not_found", host)}
            : TransportProblem{TransportProblem::Kind::unreachable,
                               localized_format("mail.connect.lookup_failed", host,
                                                std::string(gai_strerror(rc)))};
    return -1;
  }
  bool timed_out = false;
  bool cancelled = false;
  int last_error = 0;
  int fd = -1;
  for (addrinfo* address = found; address && fd < 0 && !cancelled; address = address->ai_next) {
    fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                  address->ai_protocol);
    if (fd < 0) {
      last_error = errno;
      continue;
    }
    int result = ::connect(fd, address->ai_addr, address->ai_addrlen);
    int error = result == 0 ? 0 : errno;
    if (result != 0 && error == EINPROGRESS) {
      const WaitResult ready = wait_on_socket(fd, POLLOUT, state.timeout);
      socklen_t size = sizeof error;
      if (ready == WaitResult::timedOut) timed_out = true;
      if (ready == WaitResult::cancelled) cancelled = true;
      if (ready != WaitResult::ready || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        error = ETIMEDOUT;
      result = error == 0 ? 0 : -1;
    }
    if (result != 0) {
      if (error != ETIMEDOUT || !last_error) last_error = error;
      ::close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd >= 0) return fd;
  if (cancelled)
    state.problem =
        TransportProblem{TransportProblem::Kind::cancelled, localized("mail.transport.cancelled")};
  else if (timed_out && (last_error == ETIMEDOUT || last_error == 0))
    state.problem = TransportProblem{
        TransportProblem::Kind::timedOut,
        localized_format("mail.connect.timed_out", host, static_cast<int>(port),
                         seconds_text(state.timeout))};
  else
    state.problem = unreachable(host, port, last_error);
  return -1;
}

// ---- the user's proxy (RFC 1928 SOCKS5 without authentication, or HTTP CONNECT) ----

// Blocking exchanges on the non-blocking socket, each wait bounded by the time limit.
bool send_all(int fd, std::string_view bytes, std::chrono::milliseconds limit) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd entry{fd, POLLOUT, 0};
    if (::poll(&entry, 1, static_cast<int>(limit.count())) == 0) return false;
  }
  return true;
}

bool receive_some(int fd, std::string& into, size_t count, std::chrono::milliseconds limit) {
  char buffer[512];
  while (true) {
    const ssize_t n = ::recv(fd, buffer, std::min(count, sizeof buffer), 0);
    if (n > 0) {
      into.append(buffer, static_cast<size_t>(n));
      return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(limit.count())) == 0) return false;
  }
}

bool receive_exactly(int fd, std::string& into, size_t count, std::chrono::milliseconds limit) {
  const size_t wanted = into.size() + count;
  while (into.size() < wanted)
    if (!receive_some(fd, into, wanted - into.size(), limit)) return false;
  return true;
}

// RFC 1928 §6: the reply codes in words.
std::string socks_reply_text(unsigned char code) {
  switch (code) {
    case 1:
      return localized("mail.proxy.server_failure");
    case 2:
      return localized("mail.proxy.not_allowed");
    case 3:
      return localized("mail.proxy.network_unreachable");
    case 4:
      return localized("mail.proxy.host_unreachable");
    case 5:
      return localized("mail.proxy.refused");
    case 6:
      return localized("mail.proxy.ttl_expired");
    case 7:
      return localized("mail.proxy.command_unsupported");
    case 8:
      return localized("mail.proxy.address_unsupported");
    default:
      return localized_format("mail.proxy.code", code);
  }
}

// Asks the SOCKS5 proxy on `fd` for a connection to host:port (the host name is resolved by
// the proxy). Returns the failure in words, or nothing.
std::optional<std::string> socks5_connect(int fd, const std::string& host, uint16_t port,
                                          std::chrono::milliseconds limit) {
  if (host.empty() || host.size() > 255) return localized("mail.proxy.bad_host");
  std::string answer;
  if (!send_all(fd, std::string("\x05\x01\x00", 3), limit) ||
      !receive_exactly(fd, answer, 2, limit))
    return localized("mail.proxy.no_answer");
  if (answer[0] != 5 || answer[1] != 0) return localized("mail.proxy.needs_auth");
  std::string request("\x05\x01\x00\x03", 4);
  request.push_back(static_cast<char>(host.size()));
  request += host;
  request.push_back(static_cast<char>(port >> 8));
  request.push_back(static_cast<char>(port & 0xFF));
  answer.clear();
  if (!send_all(fd, request, limit) || !receive_exactly(fd, answer, 4, limit))
    return localized("mail.proxy.no_answer");
  if (answer[0] != 5) return localized("mail.proxy.not_socks5");
  if (answer[1] != 0) return socks_reply_text(static_cast<unsigned char>(answer[1]));
  // The bound address: IPv4, a name with its length first, or IPv6; then the port.
  size_t rest = 0;
  switch (answer[3]) {
    case 1:
      rest = 4 + 2;
      break;
    case 4:
      rest = 16 + 2;
      break;
    case 3:
      if (!receive_exactly(fd, answer, 1, limit)) return localized("mail.proxy.no_answer");
      rest = static_cast<unsigned char>(answer[4]) + 2u;
      break;
    default:
      return localized("mail.proxy.unreadable");
  }
  if (!receive_exactly(fd, answer, rest, limit)) return localized("mail.proxy.no_answer");
  return std::nullopt;
}

// Asks the HTTP proxy on `fd` for a tunnel to host:port (RFC 9110 §9.3.6 CONNECT).
std::optional<std::string> http_connect(int fd, const std::string& host, uint16_t port,
                                        std::chrono::milliseconds limit) {
  const bool ipv6 = host.find(':') != std::string::npos;
  const std::string authority = (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  if (!send_all(fd, "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n", limit))
    return localized("mail.proxy.no_answer");
  // Byte by byte up to the blank line: nothing of the tunnel may be read here.
  std::string head;
  constexpr size_t kMaxHead = 16 * 1024;
  while (!head.ends_with("\r\n\r\n")) {
    if (head.size() >= kMaxHead || !receive_some(fd, head, 1, limit))
      return localized("mail.proxy.no_answer");
  }
  const std::string status = head.substr(0, head.find("\r\n"));
  if (status.size() < 12 || !status.starts_with("HTTP/1.") || status.substr(9, 3) != "200")
    return localized_format("mail.proxy.refused_with", quoted_server_text(status));
  return std::nullopt;
}

// A connection to the server: through the user's proxy when it is on (never directly then),
// else straight. -1 with the problem recorded when the proxy failed.
int connect_server(MailTransport::State& state) {
  const platform::ProxySettings proxy = platform::ProxySettings::load();
  if (!proxy.enabled) return connect_tcp(state, state.host, state.port);
  auto fail = [&](const std::string& why) {
    state.problem = TransportProblem{TransportProblem::Kind::proxy,
                                     localized_format("mail.proxy.failed", proxy.url(), why)};
    return -1;
  };
  if (proxy.type != "socks5" && proxy.type != "http")
    return fail(localized_format("mail.proxy.bad_type", proxy.type));
  if (proxy.port < 1 || proxy.port > 65535) return fail(localized("mail.proxy.bad_port"));
  const int fd = connect_tcp(state, proxy.host, static_cast<uint16_t>(proxy.port));
  if (fd < 0)
    return fail(state.problem ? state.problem->text : localized("mail.proxy.unreachable"));
  const auto refused = proxy.type == "socks5"
                           ? socks5_connect(fd, state.host, state.port, state.timeout)
                           : http_connect(fd, state.host, state.port, state.timeout);
  if (!refused) return fd;
  ::close(fd);
  return fail(*refused);
}

}  // namespace

std::string quoted_server_text(std::string_view raw) {
  std::string line;
  for (char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    line.push_back(byte < 0x20 || byte == 0x7F ? ' ' : c);
  }
  return text::prefix_characters(text::trim(line), 300);
}

std::string seconds_text(std::chrono::milliseconds limit) {
  const auto ms = limit.count();
  std::string number = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    number += "." + std::to_string(ms % 1000 + 1000).substr(1);
    while (number.back() == '0') number.pop_back();
  }
  return localized_format("mail.seconds", number);
}

MailTransport::MailTransport(MailProtocol protocol, std::string host, uint16_t port,
                             std::chrono::milliseconds timeout, CertificateTrust trust)
    : state_(std::make_shared<State>(State{protocol, std::move(host), port, timeout,
                                           std::move(trust), std::nullopt, std::nullopt, false})) {}

MailTransport::~MailTransport() = default;

mailstream* MailTransport::open(bool tls) {
  state_->problem.reset();
  state_->tlsFailed = false;
  const int fd = connect_server(*state_);
  if (fd < 0) return nullptr;
  auto connection = std::make_unique<Connection>();
  connection->state = state_;
  connection->fd = fd;
  if (tls && !connection->start_tls(true)) return nullptr;
  mailstream_low* low = mailstream_low_new(connection.get(), &kDriver);
  if (!low) return nullptr;
  connection.release();  // owned by the low-level stream now
  mailstream* stream = mailstream_new(low, kStreamBufferSize);
  if (!stream) low_free(low);
  return stream;
}

bool MailTransport::tlsFailed() const { return state_->tlsFailed; }

void MailTransport::setTimeout(std::chrono::milliseconds timeout) { state_->timeout = timeout; }

bool MailTransport::startTls(mailstream* stream) {
  Connection* connection = our_connection(stream);
  if (!connection || connection->tls) return false;
  // RFC 3207 §4.2 / RFC 3501 §6.2.1: the client discards what came before TLS, so
  // anything already waiting is a sign of an injected answer.
  if (stream->read_buffer_len > 0 || connection->raw_left() > 0 ||
      connection->ready_at < connection->ready.size()) {
    state_->tlsFailed = true;
    connection->give_up({TransportProblem::Kind::injection, localized("mail.transport.injection")});
    return false;
  }
  return connection->start_tls(false);
}

// A connection with a problem sends and reads nothing more.
void MailTransport::abandonUnreadable() {
  if (!state_->problem)
    state_->problem = {TransportProblem::Kind::unreadable, localized("mail.transport.unreadable")};
}

std::optional<TransportProblem> MailTransport::problem() const { return state_->problem; }

std::optional<std::string> MailTransport::refusal() const { return state_->refusal; }

}  // namespace kestrova::mail
