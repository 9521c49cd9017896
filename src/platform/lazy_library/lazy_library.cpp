#include "platform/lazy_library/lazy_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace {

[[noreturn]] void fail(const char* what, const char* name) {
  const char* reason = dlerror();
  std::fprintf(stderr, "kestrova: %s %s: %s\n", what, name, reason ? reason : "unknown error");
  std::fflush(stderr);
  _exit(127);
}

}  // namespace

extern "C" void* kestrova_lazy_library_resolve(KestrovaLazyLibrary* library, std::uint32_t index) {
  // dlopen() is thread-safe and returns the same handle for a library already open (it only
  // counts the reference), so concurrent first calls need no lock of their own, and the
  // library, once open, stays open for the life of the process.
  void* handle = dlopen(library->soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) fail("cannot load", library->soname);
  const char* name = library->names + library->offsets[index];
  void* function = dlsym(handle, name);
  if (function == nullptr) fail("cannot find", name);
  std::atomic_ref(library->slots[index]).store(function, std::memory_order_release);
  return function;
}
