// libFuzzer target: each input is everything an IMAP server sends on one connection, from
// the greeting on. The program's own transport (the stream under libetpan, with the checks
// that cap lines, literals, answers and nesting and defuse the answer that crashes
// libetpan) connects over a real loopback socket to a listener of this target, which writes
// the input and closes its side; libetpan then reads the greeting and the answers to
// LOGIN (tag 1, not sent after a PREAUTH greeting; AUTHENTICATE XOAUTH2 instead when the
// greeting lists AUTH=XOAUTH2), CAPABILITY (2), SELECT INBOX (3), UID FETCH 1:* (UID FLAGS
// ENVELOPE BODYSTRUCTURE) (4) and NOOP (5), as a sync does, then APPEND INBOX (6) and IDLE
// (7) with its DONE, which wait for continuations; after a parse failure it sends and reads
// nothing more, as the program's session does.
//
// Beyond sanitizer reports (in the transport, and in libetpan where ASan's allocator sees
// them) it aborts when the server's refusal text the transport keeps for error messages
// is longer than 300 characters or holds a control character, or when a problem is
// reported without text.

#include <arpa/inet.h>
#include <libetpan/libetpan.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "mail/mail_transport.h"
#include "util/text.h"

namespace {

using kestrova::mail::MailTransport;

int listener = -1;
uint16_t port = 0;

[[noreturn]] void fail(const char* what, std::string_view input, std::string_view detail) {
  std::fprintf(stderr, "%s: %.*s\ninput (%zu bytes): %.*s\n", what, static_cast<int>(detail.size()),
               detail.data(), input.size(), static_cast<int>(input.size()), input.data());
  std::abort();
}

template <class T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const {
    if (p) Free(p);
  }
};

void exchange(mailimap* imap, mailstream* stream, MailTransport& transport) {
  // As the program's session does, a parse failure ends the connection.
  const auto worked = [&](int result) {
    if (result == MAILIMAP_ERROR_PARSE) transport.abandonUnreadable();
    return result == MAILIMAP_NO_ERROR;
  };
  const int greeting = mailimap_connect(imap, stream);  // libetpan owns the stream now
  worked(greeting);
  if (greeting != MAILIMAP_NO_ERROR_AUTHENTICATED &&
      greeting != MAILIMAP_NO_ERROR_NON_AUTHENTICATED)
    return;
  if (greeting == MAILIMAP_NO_ERROR_NON_AUTHENTICATED &&
      !worked(mailimap_has_authentication(imap, "XOAUTH2")
                  ? mailimap_oauth2_authenticate(imap, "user", "token")
                  : mailimap_login(imap, "user", "secret")))
    return;
  mailimap_capability_data* capabilities = nullptr;
  if (worked(mailimap_capability(imap, &capabilities)) && capabilities)
    mailimap_capability_data_free(capabilities);
  if (!imap->imap_stream) return;
  if (!worked(mailimap_select(imap, "INBOX")) || !imap->imap_stream) return;
  std::unique_ptr<mailimap_set, Freer<mailimap_set, mailimap_set_free>> set(
      mailimap_set_new_interval(1, 0));
  auto* type = mailimap_fetch_type_new_fetch_att_list_empty();
  mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_uid());
  mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_flags());
  mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_envelope());
  mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_bodystructure());
  std::unique_ptr<mailimap_fetch_type, Freer<mailimap_fetch_type, mailimap_fetch_type_free>>
      fetch_type(type);
  clist* result = nullptr;
  const bool fetched = worked(mailimap_uid_fetch(imap, set.get(), fetch_type.get(), &result));
  if (fetched && result) mailimap_fetch_list_free(result);
  if (!imap->imap_stream) return;
  worked(mailimap_noop(imap));
  if (!imap->imap_stream) return;
  worked(mailimap_append(imap, "INBOX", nullptr, nullptr, "x\r\n", 3));
  if (!imap->imap_stream) return;
  if (worked(mailimap_idle(imap)) && imap->imap_stream) worked(mailimap_idle_done(imap));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
      ::listen(listener, 16) ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length)) {
    std::perror("loopback listener");
    std::abort();
  }
  port = ntohs(address.sin_port);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  MailTransport transport(kestrova::mail::MailProtocol::imap, "127.0.0.1", port,
                          std::chrono::seconds(5), {});
  mailstream* stream = transport.open(false);
  if (!stream) fail("no connection to the loopback listener", input, "");
  const int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (server < 0) fail("accept", input, "");
  size_t sent = 0;
  while (sent < input.size()) {
    const ssize_t n = ::send(server, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) fail("the loopback socket took less than the input", input, "");
    sent += static_cast<size_t>(n);
  }
  ::shutdown(server, SHUT_WR);

  std::unique_ptr<mailimap, Freer<mailimap, mailimap_free>> imap(mailimap_new(0, nullptr));
  if (imap) {
    exchange(imap.get(), stream, transport);
  } else {
    mailstream_close(stream);
  }
  imap.reset();  // closes the stream when libetpan took it
  ::close(server);

  if (const auto refusal = transport.refusal()) {
    if (kestrova::text::character_count(*refusal) > 300)
      fail("a refusal text over 300 characters", input, *refusal);
    for (unsigned char c : *refusal)
      if (c < 0x20 || c == 0x7F) fail("a control character in a refusal text", input, *refusal);
  }
  if (const auto problem = transport.problem(); problem && problem->text.empty())
    fail("a problem without text", input, "");
  return 0;
}
