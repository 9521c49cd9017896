#pragma once

// Shared libraries opened on the first call into them instead of at process start.
//
// The program links, in place of libetpan, GnuTLS, libsecret, GIO and GObject, a
// trampoline for every function those libraries export (generated at configure time by
// cmake/lazy_libraries.cmake). A trampoline jumps through its slot; an empty slot sends the
// call here first, which opens the library (once per process), looks the function up, fills
// the slot and lets the trampoline continue into it with the caller's arguments untouched.
// A command that never touches mail, TLS, the credential store or D-Bus never loads them
// (with their own dependencies they are about half of the loader's work at start).

#include <cstdint>

extern "C" {

// One lazily opened library, as the generated trampoline file lays it out.
struct KestrovaLazyLibrary {
  const char* soname;            // the file dlopen() opens, e.g. "libetpan.so.20"
  const char* names;             // the function names, each ended by a NUL
  const std::uint32_t* offsets;  // where the name of function i starts in `names`
  void** slots;                  // the address of function i once looked up, else null
  std::uint32_t count;           // the number of functions
};

// Opens `library` when it is not open yet, looks function `index` up, stores its address in
// its slot and returns it. Thread-safe. A library or function that cannot be found ends the
// process with the loader's reason on standard error and status 127, as the dynamic loader
// does at start when a linked library is missing.
void* kestrova_lazy_library_resolve(KestrovaLazyLibrary* library, std::uint32_t index);
}
