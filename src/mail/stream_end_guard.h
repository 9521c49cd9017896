#pragma once

struct _mailstream;

namespace kestrova::mail {

// libetpan reads an IMAP literal in a loop that stops only when a read fails: once a server
// has hung up in the middle of a literal, every further read returns 0 bytes and the loop
// spins for ever. This makes the connection's reads report the end of the stream as the
// failure it is there (MAILIMAP_ERROR_STREAM to the caller); nothing else changes.
//
// Call it after each step that puts a new low-level stream in place (connect, STARTTLS).
// Returns false for a stream it does not know (which is left as it is).
bool guard_stream_end(_mailstream* stream);

}  // namespace kestrova::mail
