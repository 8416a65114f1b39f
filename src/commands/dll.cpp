// Calls of functions of other libraries: dllload, dllsetup, dllp32 and the
// call of a declared name.
//
// A DLL element holds a loaded library and the DLLFUNC elements declared on
// it; a DLLFUNC holds one function's address, its type words and the call
// signature prepared for it. Declaring a function binds its name, in lower
// case, as a label whose target is the DLLFUNC: `_call` then hands the
// call's frame to call_declared below. Freeing the DLL unbinds those labels
// and frees its functions before the library is unmapped, so no name can
// reach a function that is gone.
//
// Arguments are laid out as words of the design's 32-bit calls (a longlong
// or double counts two, the rest one) for the 16-word limit; the call
// itself is made by libffi with the C types the type words stand for.
// Note: addresses (handle, hwnd, farptr, the string types) pass and return
// at the width of the platform's pointers: cut to 32 bits they would name
// memory the script does not own.
#include "commands/dll.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/dynlib.h"
#include "vm/commands.h"
#include "vm/control.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace vm {

namespace {

using platform::CType;

constexpr uint32_t kMaxFunctions = 1024;  // declared functions per library
constexpr uint32_t kMaxParams = 20;       // parameter types per function
constexpr uint32_t kMaxCallWords = 16;    // argument words of a call that is made

enum class ArgKind : uint8_t { None, Integer, Float, Text };

// A type word: its C type, how an argument is converted for it and the
// argument words it takes.
struct TypeWord {
  std::string_view word;
  CType ctype;
  ArgKind kind;
  uint8_t words;
};

// The type table; a type's number is its position (0 is no type).
constexpr std::array<TypeWord, 23> kTypes = {{
    {"", CType::Void, ArgKind::None, 0},
    {"byte", CType::U8, ArgKind::Integer, 1},
    {"char", CType::S8, ArgKind::Integer, 1},
    {"uint", CType::U32, ArgKind::Integer, 1},
    {"word", CType::U16, ArgKind::Integer, 1},
    {"int", CType::S32, ArgKind::Integer, 1},
    {"short", CType::S16, ArgKind::Integer, 1},
    {"bool", CType::S32, ArgKind::Integer, 1},
    {"ulong", CType::U32, ArgKind::Integer, 1},
    {"dword", CType::U32, ArgKind::Integer, 1},
    {"long", CType::S32, ArgKind::Integer, 1},
    {"longlong", CType::S64, ArgKind::Integer, 2},
    {"float", CType::Float, ArgKind::Float, 1},
    {"double", CType::Double, ArgKind::Float, 2},
    {"rgb", CType::U32, ArgKind::Integer, 1},
    {"void", CType::Void, ArgKind::None, 0},
    {"handle", CType::Pointer, ArgKind::Integer, 1},
    {"hwnd", CType::Pointer, ArgKind::Integer, 1},
    {"farptr", CType::Pointer, ArgKind::Integer, 1},
    {"string", CType::Pointer, ArgKind::Text, 1},
    {"farstring", CType::Pointer, ArgKind::Text, 1},
    {"fs", CType::Pointer, ArgKind::Text, 1},
    {"unistring", CType::Pointer, ArgKind::Integer, 1},
}};
constexpr uint32_t kTypeVoidWord = 15;
constexpr uint32_t kTypeIntWord = 5;  // what an argument beyond the declared list counts as

// The type number of an argument that is a type word (exact lower case), or 0.
uint32_t type_number(Value v) {
  if (element_type_of(v) != kTypeString) return 0;
  const std::string_view s = element_text(v);
  for (uint32_t i = 1; i < kTypes.size(); i++)
    if (kTypes[i].word == s) return i;
  return 0;
}

// The payload of a DLL element.
struct Dll {
  void* module;  // first: the integer conversion of a DLL reads it; null when nothing loaded
  uint32_t self;
  uint32_t count;  // declared functions
  Value name;      // the library name it was loaded by (one reference)
  uint32_t functions[kMaxFunctions];  // DLLFUNC handles (one reference each)
};

// The payload of a DLLFUNC element.
struct DllFunc {
  void* address;         // null once its library is freed
  uint32_t arg_order;    // always 0: the first argument is the first parameter
  uint32_t return_type;  // type number; 15 (void) when none was given
  uint32_t param_count;
  uint32_t arg_words;
  uint32_t library;  // the DLL element (no reference: the DLL holds this element)
  uint32_t self;
  Value name;  // the lower-case name it is called by (one reference)
  platform::CallSignature* signature;  // owned
  uint8_t params[kMaxParams];          // type numbers
};
static_assert(std::is_trivially_copyable_v<Dll> && std::is_trivially_copyable_v<DllFunc>);

Dll* dll_of(Value v) { return static_cast<Dll*>(element_lookup(v, kTypeDll)); }
DllFunc* dllfunc_of(uint32_t handle) { return static_cast<DllFunc*>(element_lookup(handle, kTypeDllFunc)); }

void dll_cleanup(uint32_t, void* payload) {
  auto* d = static_cast<Dll*>(payload);
  // The names go first, then the functions, then the library's mapping.
  for (uint32_t i = 0; i < d->count && i < kMaxFunctions; i++) {
    const uint32_t h = d->functions[i];
    if (DllFunc* f = dllfunc_of(h)) {
      f->address = nullptr;
      label_unbind(f->name.handle(), h);
    }
    element_release(h);
  }
  d->count = 0;
  value_release(std::exchange(d->name, Value::null()));
  platform::library_close(std::exchange(d->module, nullptr));
}

void dllfunc_cleanup(uint32_t handle, void* payload) {
  auto* f = static_cast<DllFunc*>(payload);
  label_unbind(f->name.handle(), handle);
  platform::signature_free(std::exchange(f->signature, nullptr));
  value_release(std::exchange(f->name, Value::null()));
}

void dll_describe(uint32_t, void* payload, std::string& out) {
  const auto* d = static_cast<const Dll*>(payload);
  out += element_text(d->name);
  out += d->module ? " (" + std::to_string(d->count) + " functions)" : " (not loaded)";
}

void dllfunc_describe(uint32_t, void* payload, std::string& out) {
  out += element_text(static_cast<const DllFunc*>(payload)->name);
}

// The DLL element a library argument stands for: the element itself, or the
// one in the variable `var` (null: the variable named after the library's
// file); when that variable holds none, the library is loaded into a new
// one stored there. Null when the variable cannot be made.
uint32_t library_for(Interp& ctx, Value library, Value var) {
  if (dll_of(library)) return library.handle();
  Value var_name = var;
  if (var.is_null())
    var_name = name_from_text(ctx, library);
  else
    value_ref(var_name);
  uint32_t result = 0;
  if (Value* cell = var_find(ctx, var_name); cell && dll_of(*cell)) {
    result = cell->handle();
  } else if (const uint32_t h = element_create(nullptr, sizeof(Dll), kTypeDll)) {
    const std::string name = value_to_string(&ctx, library);
    std::string why;
    void* module = platform::library_open(name, &why);
    if (!module) std::fprintf(stderr, "quillon: library \"%s\" cannot be loaded: %s\n", name.c_str(), why.c_str());
    if (Dll* d = dll_of(Value::from_handle(h))) {
      d->module = module;
      d->self = h;
      d->name = Value::from_handle(text_intern(name));
    } else {
      platform::library_close(module);
    }
    if (Value* store = var_for_set(ctx, var_name)) {
      value_store(*store, Value::from_handle(h));
      ctx.vars_dirty = true;
    }
    element_release(h);
    if (element_lookup(h, kTypeDll)) result = h;
  }
  value_release(var_name);
  return result;
}

// Declares the function `name` of the library with its return type and the
// type words in `words`. Returns false with a message when it cannot.
bool declare(Interp& ctx, uint32_t library, uint32_t return_type, const std::string& name,
             const std::vector<Value>& words) {
  Dll* d = static_cast<Dll*>(element_lookup(library, kTypeDll));
  if (!d || !d->module || name.empty()) return false;
  const std::string lib(element_text(d->name));
  if (d->count >= kMaxFunctions) {
    std::fprintf(stderr, "quillon: dllsetup: \"%s\" already has %u functions; \"%s\" is not declared\n", lib.c_str(),
                 kMaxFunctions, name.c_str());
    return false;
  }
  // The exported name, else its ANSI form.
  void* address = platform::library_symbol(d->module, name.c_str());
  if (!address) address = platform::library_symbol(d->module, (name + "A").c_str());
  if (!address) {
    std::fprintf(stderr, "quillon: dllsetup: \"%s\" has no function \"%s\"\n", lib.c_str(), name.c_str());
    return false;
  }
  std::array<uint8_t, kMaxParams> params{};
  uint32_t count = 0, arg_words = 0;
  bool too_many = false;
  for (Value w : words) {
    const uint32_t t = type_number(w);
    if (!t) {
      std::fprintf(stderr, "quillon: dllsetup: %s: \"%s\" is no type word; it declares no parameter\n",
                   name.c_str(), value_to_string(&ctx, w).c_str());
      continue;
    }
    if (t == kTypeVoidWord) continue;
    if (count == kMaxParams) {
      too_many = true;
      continue;
    }
    params[count++] = uint8_t(t);
    arg_words += kTypes[t].words;
  }
  if (too_many)
    std::fprintf(stderr, "quillon: dllsetup: %s: more than %u parameters; the first %u are declared\n", name.c_str(),
                 kMaxParams, kMaxParams);
  std::array<CType, kMaxParams> ctypes{};
  for (uint32_t i = 0; i < count; i++) ctypes[i] = kTypes[params[i]].ctype;
  platform::CallSignature* signature = platform::signature_prepare(kTypes[return_type].ctype, ctypes.data(), count);
  if (!signature) return false;
  const uint32_t h = element_create(nullptr, sizeof(DllFunc), kTypeDllFunc);
  DllFunc* f = dllfunc_of(h);
  d = static_cast<Dll*>(element_lookup(library, kTypeDll));
  if (!f || !d) {
    platform::signature_free(signature);
    element_release(h);
    return false;
  }
  std::string lower_name = name;
  for (char& c : lower_name)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  f->address = address;
  f->return_type = return_type;
  f->param_count = count;
  f->arg_words = arg_words;
  f->library = library;
  f->self = h;
  f->name = Value::from_handle(text_intern(lower_name));
  f->signature = signature;
  std::copy(params.begin(), params.end(), f->params);
  d->functions[d->count++] = h;  // the element's one reference
  label_bind(f->name.handle(), h);
  return true;
}

// Converts argument i of the call for type number t into `out`; a text's
// private copy goes to `text`, which must outlive the call.
void convert_argument(Interp& ctx, Value v, uint32_t t, platform::CallValue& out, std::string& text) {
  switch (kTypes[t].kind) {
    case ArgKind::Integer:
      out.i = value_to_integer(&ctx, v);
      break;
    case ArgKind::Float:
      out.f = value_to_float(&ctx, v);
      break;
    case ArgKind::Text:
      if (v.is_null()) break;  // the null pointer
      text = element_type_of(v) == kTypeString ? std::string(element_text(v)) : value_to_string(&ctx, v);
      out.i = int64_t(reinterpret_cast<intptr_t>(text.c_str()));
      break;
    case ArgKind::None:
      break;
  }
}

// The call of a declared function from `_call`: the arguments of the frame
// in parameter order (an argument beyond the declared list counts as an
// int, a missing one as 0 or null); the result converted by the return
// type, nothing for void. A call of more than 16 argument words is not made
// and gives 0.
void call_declared(Interp& ctx, uint32_t handle) {
  const uint32_t n = close_frame(ctx);
  DllFunc* f = dllfunc_of(handle);
  if (!f || !f->address) {
    discard_args_push_zero(ctx, n);
    return;
  }
  const uint32_t total = std::max(n, f->param_count);
  uint32_t words = 0;
  for (uint32_t k = 0; k < total && words <= kMaxCallWords; k++)
    words += kTypes[k < f->param_count ? f->params[k] : kTypeIntWord].words;
  platform::CallValue result;
  if (words <= kMaxCallWords) {
    // Every type takes at least one word: at most 16 arguments here.
    std::array<platform::CallValue, kMaxCallWords> values{};
    std::array<std::string, kMaxCallWords> texts;
    std::array<CType, kMaxCallWords> ctypes{};
    for (uint32_t k = 0; k < total; k++) {
      const uint32_t t = k < f->param_count ? f->params[k] : kTypeIntWord;
      ctypes[k] = kTypes[t].ctype;
      convert_argument(ctx, arg(ctx, n, k), t, values[k], texts[k]);
    }
    // Arguments beyond the declared list need a signature of their own.
    const platform::CallSignature* s = f->signature;
    platform::CallSignature* extra = nullptr;
    if (total > f->param_count)
      s = extra = platform::signature_prepare(kTypes[f->return_type].ctype, ctypes.data(), total);
    if (s) result = platform::signature_call(s, f->address, values.data());
    platform::signature_free(extra);
  }
  const uint32_t return_type = f->return_type;
  pop_n(ctx, n);
  switch (kTypes[return_type].kind) {
    case ArgKind::None:
      break;
    case ArgKind::Float:
      push_owned(ctx, value_from_float(&ctx, result.f));
      break;
    default:
      push_int(ctx, result.i);
      break;
  }
}

}  // namespace

void dll_register() {
  element_set_cleanup(kTypeDll, dll_cleanup);
  element_set_cleanup(kTypeDllFunc, dllfunc_cleanup);
  element_set_conversions(kTypeDll, ElementConversions{nullptr, nullptr, dll_describe});
  element_set_conversions(kTypeDllFunc, ElementConversions{nullptr, nullptr, dllfunc_describe});
  g_library_call = call_declared;
}

// dllload library [variable]: loads the library into a DLL element kept in
// the variable (by default the one named after the library's file), unless
// that variable holds a DLL already. A library that cannot be loaded leaves
// a DLL with nothing loaded, and a message on standard error. No result.
void h_dllload(Interp& ctx) {
  const uint32_t n = close_frame(ctx);
  if (n >= 1) library_for(ctx, arg(ctx, n, 0), arg(ctx, n, 1));
  pop_n(ctx, n);
}

// dllsetup library [return-type] name [parameter-type ...]: declares a
// function of the library (a DLL element or a name loaded as by dllload)
// under its name in lower case. The name is the export's, else its form
// with "A" appended. Pushes 1 when declared, 0 when the library is not
// loaded, has 1024 functions already or has no such export.
void h_dllsetup(Interp& ctx) {
  const uint32_t n = close_frame(ctx);
  std::vector<Value> args = take_args(ctx, n);
  bool declared = false;
  if (n >= 2) {
    const uint32_t library = library_for(ctx, args[0], Value::null());
    size_t i = 1;
    uint32_t return_type = kTypeVoidWord;
    if (const uint32_t t = type_number(args[1])) {
      return_type = t;
      i = 2;
    }
    const std::string name = i < n ? value_to_string(&ctx, args[i]) : std::string();
    const std::vector<Value> words(args.begin() + long(std::min(i + 1, args.size())), args.end());
    element_ref(library);  // declaring makes elements: the library stays meanwhile
    declared = library && declare(ctx, library, return_type, name, words);
    element_release(library);
  }
  release_all(args);
  push_int(ctx, declared ? 1 : 0);
}

// dllp32 ...: closes its frame and leaves its arguments in place.
void h_dllp32(Interp& ctx) { close_frame(ctx); }

}  // namespace vm
