// System libraries opened at their first use instead of at start.
//
// libcurl, libcups, libfluidsynth and SDL2 bring over a hundred more shared
// libraries with them; linked in, their loading and relocation were most of
// the player's start-up, although few scripts transfer, print or play MIDI,
// and a headless run never opens a window or a sound card.
// A file that uses one lists the functions it calls in an X-macro:
//
//   #define CURL_FUNCTIONS(X) X(curl_easy_init) X(curl_easy_cleanup) ...
//   namespace { CURL_FUNCTIONS(QUILLON_LAZY_POINTER) }
//
// which declares, in the file's own namespace, a pointer of each function's
// own type under the function's name, so that the calls in that namespace
// read as before and go through the pointer (a function left out of the
// list is a link error, as the library is not linked). `lazy_library_load`
// then opens the library and binds them all, once:
//
//   bool curl_ready(std::string& why) {
//     static platform::LazyLibrary curl;
//     return platform::lazy_library_load(curl, {"libcurl.so.4"}, [](void* lib) -> const char* {
//       return CURL_FUNCTIONS(QUILLON_LAZY_BIND) true ? nullptr : "this libcurl lacks a function";
//     }, why);
//   }
#pragma once

#include <initializer_list>
#include <mutex>
#include <string>

namespace platform {

// Opens the first of the libraries (sonames) that loads, with its symbols
// bound at once and kept to itself; it stays open for the process. Null,
// with the loader's reason in `why`, when none loads.
void* lazy_library_open(std::initializer_list<const char*> sonames, std::string* why);
void* lazy_library_symbol(void* library, const char* name);

// What became of a library opened at its first use (a static of its user).
struct LazyLibrary {
  std::once_flag once;
  bool ready = false;
  std::string why;  // why it is not ready
};

// At the first call, opens the first of the sonames that loads and hands
// it to `bind`, which binds the pointers (and may start the library) and
// gives null when all went well, else the reason it failed. Every call
// then tells the outcome: true when ready, else false with the reason in
// `why` (the loader's, when no soname loaded).
bool lazy_library_load(LazyLibrary& state, std::initializer_list<const char*> sonames, const char* (*bind)(void* lib),
                       std::string& why);

}  // namespace platform

#define QUILLON_LAZY_POINTER(fn) decltype(&::fn) fn = nullptr;
#define QUILLON_LAZY_BIND(fn) \
  (fn = reinterpret_cast<decltype(fn)>(::platform::lazy_library_symbol(lib, #fn))) != nullptr &&
