#pragma once

#include <cstdint>

namespace kestrova::app {

enum class HoldOutcome { send, undone };

// Whether standard input and standard error are a terminal: only there is an outgoing
// message held for undo.
bool can_hold_for_undo();

// Holds an outgoing message for `seconds` with a countdown on standard error (10, 9, ...).
// "u" or Ctrl-C (the byte, or a SIGINT from elsewhere) takes it back. The terminal is put
// into non-canonical mode for the wait and restored however it ends.
HoldOutcome hold_for_undo(int64_t seconds);

}  // namespace kestrova::app
