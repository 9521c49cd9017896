#include "mail/stream_end_guard.h"

#include <libetpan/libetpan.h>

// The TLS driver is exported by every libetpan built with TLS (Debian's is, with GnuTLS),
// but its declaration sits behind the library's own build switch USE_SSL.
extern "C" mailstream_low_driver* mailstream_ssl_driver;

namespace kestrova::mail {

namespace {

// A read of nothing when something was asked for only happens at the end of the stream.
template <mailstream_low_driver** Inner>
ssize_t guarded_read(mailstream_low* low, void* buffer, size_t count) {
  const ssize_t read = (*Inner)->mailstream_read(low, buffer, count);
  return read == 0 && count > 0 ? -1 : read;
}

// libetpan's driver with only the read replaced; lives for the whole process.
template <mailstream_low_driver** Inner>
mailstream_low_driver* guarded_driver() {
  static mailstream_low_driver driver = [] {
    mailstream_low_driver copy = **Inner;
    copy.mailstream_read = guarded_read<Inner>;
    return copy;
  }();
  return &driver;
}

}  // namespace

bool guard_stream_end(_mailstream* stream) {
  mailstream_low* low = stream ? mailstream_get_low(stream) : nullptr;
  if (!low) return false;
  if (low->driver == mailstream_socket_driver) {
    low->driver = guarded_driver<&mailstream_socket_driver>();
  } else if (low->driver == mailstream_ssl_driver) {
    low->driver = guarded_driver<&mailstream_ssl_driver>();
  } else {
    return low->driver == guarded_driver<&mailstream_socket_driver>() ||
           low->driver == guarded_driver<&mailstream_ssl_driver>();
  }
  return true;
}

}  // namespace kestrova::mail
