#include "platform/lazy_library.h"

#include <dlfcn.h>

namespace platform {

void* lazy_library_open(std::initializer_list<const char*> sonames, std::string* why) {
  std::string reasons;
  for (const char* name : sonames) {
    // Always by soname from the system's library path, never from the
    // current directory.
    if (void* lib = dlopen(name, RTLD_NOW | RTLD_LOCAL)) return lib;
    const char* e = dlerror();
    if (!reasons.empty()) reasons += "; ";
    reasons += e ? e : name;
  }
  if (why) *why = reasons;
  return nullptr;
}

void* lazy_library_symbol(void* library, const char* name) { return dlsym(library, name); }

bool lazy_library_load(LazyLibrary& state, std::initializer_list<const char*> sonames, const char* (*bind)(void* lib),
                       std::string& why) {
  std::call_once(state.once, [&] {
    void* lib = lazy_library_open(sonames, &state.why);
    if (!lib) return;
    if (const char* failed = bind(lib)) {
      state.why = failed;
      return;
    }
    state.ready = true;
  });
  why = state.why;
  return state.ready;
}

}  // namespace platform
