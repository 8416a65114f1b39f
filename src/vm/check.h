// Checked invariants: QASSERT(cond) states a rule of our own code whose
// breaking would corrupt memory (a value read as the wrong kind, a row past
// the picture, a frame marker pointing above itself, a slot freed twice).
//
// The check is compiled in when QUILLON_CHECKS is defined: CMake defines it
// when the option QUILLON_CHECKS is on, which it is by default in the
// sanitizer build (`tools/build test`, QUILLON_SANITIZE=ON). In the release
// build the macro expands to ((void)0), so hot paths do no extra work there.
// A failing check prints the condition, file and line to standard error and
// aborts. Bad input (a file, a script argument) is never an assertion: it is
// a value the caller handles.
#pragma once

#if defined(QUILLON_CHECKS)

#include <cstdio>
#include <cstdlib>

namespace vm {

[[noreturn, gnu::cold, gnu::noinline]] inline void check_failed(const char* cond, const char* file,
                                                                 int line) {
  std::fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, cond);
  std::fflush(stderr);
  std::abort();
}

}  // namespace vm

#define QASSERT(cond) ((cond) ? (void)0 : ::vm::check_failed(#cond, __FILE__, __LINE__))

#else

#define QASSERT(cond) ((void)0)

#endif
