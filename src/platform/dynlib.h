// Dynamic libraries and calls of their functions: dlopen and dlsym find a
// library and its exports, libffi makes calls with a signature prepared
// once. Knows nothing of scripts: the library-call commands
// (commands/dll.cpp) turn script values into CallValues and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Loads a library with every symbol bound at once. A name with a "/" is a
// path; a bare name is looked for in the current directory, then where the
// system looks for libraries. A name ending in ".dll" (any case) also tries
// lib<base>.so in the same way, then the highest versioned lib<base>.so.N
// in its directory (a bare name: the current directory, then the library
// directories). The Windows system libraries (user32, kernel32, gdi32 ...)
// load nothing. Returns null with the reason in `why`.
void* library_open(std::string_view name, std::string* why);
void library_close(void* library);
// The address of an export, or null.
void* library_symbol(void* library, const char* name);
// Whether the name (any directory, any case, with or without ".dll") is one
// of the Windows system libraries.
bool is_windows_system_library(std::string_view name);

// The C types a call passes and returns.
enum class CType : uint8_t { Void, U8, S8, U16, S16, U32, S32, S64, Float, Double, Pointer };

// One argument or result: integers and addresses in `i` (results widened
// from their type, unsigned ones with zeros, signed ones with their sign),
// floats and doubles in `f`.
struct CallValue {
  int64_t i = 0;
  double f = 0;
};

// A signature prepared for calls: the return type and the parameter types.
struct CallSignature;

inline constexpr size_t kMaxCallParams = 32;

// Null when libffi refuses the types or there are more than kMaxCallParams.
CallSignature* signature_prepare(CType result, const CType* params, size_t count);
void signature_free(CallSignature* signature);

// Calls `fn` with one value per parameter of the signature and returns the
// result (zero for Void). The function's own faults are not caught.
CallValue signature_call(const CallSignature* signature, void* fn, const CallValue* args);

}  // namespace platform
