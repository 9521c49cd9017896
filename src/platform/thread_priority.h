#pragma once

namespace kestrova::platform {

// Lowers the calling thread to background ("utility") priority before long network work,
// so that mail transfers never compete with the interactive thread. Only this thread is
// affected; calling it again is harmless.
void lower_thread_to_utility_priority();

}  // namespace kestrova::platform
