// A small library for the library-call script test (tests/scripts/dll_calls):
// functions of every type word's C type, a function that writes into its
// string argument, one exported only in its ANSI form, and a call counter
// that shows whether a call was made.
#include <cstdint>
#include <cstring>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {
int g_calls = 0;
int g_stored = 0;
}  // namespace

EXPORT int q_calls() { return g_calls; }

EXPORT uint8_t q_byte(uint8_t a) { return uint8_t(a + 1); }
EXPORT int8_t q_char(int8_t a) { return a; }
EXPORT uint16_t q_word(uint16_t a) { return uint16_t(a + 1); }
EXPORT int16_t q_short(int16_t a) { return a; }
EXPORT int32_t q_add(int32_t a, int32_t b) { return a + b; }
EXPORT uint32_t q_all_ones() { return 0xffffffffu; }
EXPORT int64_t q_mul64(int64_t a, int64_t b) { return a * b; }
EXPORT float q_fmul(float a, float b) { return a * b; }
EXPORT double q_dsum(double a, double b) { return a + b; }

// Integers, floats and a text interleaved: each travels in the register
// (or stack slot) of its own kind.
EXPORT double q_mix(int32_t a, double b, float c, int64_t d, const char* s, uint8_t e) {
  return double(a) + b + double(c) + double(d) + double(s ? std::strlen(s) : 1000) + double(e);
}

// Pointers at the platform's width, both ways.
EXPORT void* q_ptr(void* p) { return p; }
EXPORT uint32_t q_ptr_high(void* p) { return uint32_t(uint64_t(reinterpret_cast<uintptr_t>(p)) >> 32); }
EXPORT void* q_big_ptr() { return reinterpret_cast<void*>(uintptr_t(0x123456789abull)); }

// Texts: length (-1 for the null pointer), and a function that writes into
// its argument.
EXPORT int32_t q_strlen(const char* s) { return s ? int32_t(std::strlen(s)) : -1; }
EXPORT int32_t q_scribble(char* s) {
  if (!s) return 0;
  for (char* p = s; *p; p++) *p = '#';
  return 1;
}
EXPORT const char* q_hello() { return "hello"; }

// Only the ANSI form is exported.
EXPORT int32_t q_greetA(int32_t a) { return a * 10; }

EXPORT void q_store(int32_t v) {
  g_calls++;
  g_stored = v;
}
EXPORT int32_t q_stored() { return g_stored; }

// Sixteen argument words; counts its calls.
EXPORT int32_t q_sum16(int32_t a1, int32_t a2, int32_t a3, int32_t a4, int32_t a5, int32_t a6, int32_t a7, int32_t a8,
                       int32_t a9, int32_t a10, int32_t a11, int32_t a12, int32_t a13, int32_t a14, int32_t a15,
                       int32_t a16) {
  g_calls++;
  return a1 + a2 + a3 + a4 + a5 + a6 + a7 + a8 + a9 + a10 + a11 + a12 + a13 + a14 + a15 + a16;
}
