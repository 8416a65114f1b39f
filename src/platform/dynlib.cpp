#include "platform/dynlib.h"

#include <dirent.h>
#include <dlfcn.h>
#include <ffi.h>
#include <link.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace platform {

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

bool ends_with_dll(std::string_view name) { return name.size() > 4 && lower(name.substr(name.size() - 4)) == ".dll"; }

// The part after the last "/" or "\".
std::string_view file_part(std::string_view name) {
  const size_t cut = name.find_last_of("/\\");
  return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

// What the attempts to load a library found out.
struct Attempts {
  std::string tried;    // the names looked for, for the message
  std::string refused;  // why a file that exists was not loaded
};

void* try_open(const std::string& path, Attempts& a) {
  dlerror();
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h) return h;
  const char* e = dlerror();
  const std::string why = e ? e : "";
  // A missing file is the usual case; anything else (a linker script, a
  // library of another machine, an unresolved symbol) is worth reporting.
  if (why.find("cannot open shared object file") == std::string::npos && a.refused.empty()) a.refused = why;
  if (!a.tried.empty()) a.tried += ", ";
  a.tried += path;
  return nullptr;
}

bool is_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The directories the dynamic linker searches for this process (the
// library path of the environment, the run path, the system directories),
// then /usr/local/lib, which most systems list in their linker cache.
std::vector<std::string> library_dirs() {
  std::vector<std::string> dirs;
#if defined(__GLIBC__)  // the search list is a GNU extension
  if (void* self = dlopen(nullptr, RTLD_NOW)) {
    Dl_serinfo size_info;
    if (dlinfo(self, RTLD_DI_SERINFOSIZE, &size_info) == 0 && size_info.dls_size >= sizeof(Dl_serinfo)) {
      std::vector<unsigned char> buffer(size_info.dls_size);
      auto* info = reinterpret_cast<Dl_serinfo*>(buffer.data());
      std::memcpy(info, &size_info, sizeof size_info);
      if (dlinfo(self, RTLD_DI_SERINFOSIZE, info) == 0 && dlinfo(self, RTLD_DI_SERINFO, info) == 0)
        for (unsigned i = 0; i < info->dls_cnt; i++) dirs.emplace_back(info->dls_serpath[i].dls_name);
    }
    dlclose(self);
  }
#endif
  for (const char* d : {"/usr/local/lib", "/usr/lib", "/lib"})
    if (std::find(dirs.begin(), dirs.end(), d) == dirs.end()) dirs.emplace_back(d);
  return dirs;
}

// The path of the highest versioned prefix + "N" (N all digits) in the
// directories; empty when there is none.
std::string find_versioned(const std::vector<std::string>& dirs, const std::string& prefix) {
  std::string best;
  unsigned long best_version = 0;
  for (const std::string& dir : dirs) {
    DIR* d = opendir(dir.c_str());
    if (!d) continue;
    while (const dirent* entry = readdir(d)) {
      const std::string name = entry->d_name;
      if (name.size() <= prefix.size() || lower(name.substr(0, prefix.size())) != prefix) continue;
      const std::string version = name.substr(prefix.size());
      if (version.size() > 6 || version.find_first_not_of("0123456789") != std::string::npos) continue;
      const unsigned long v = std::strtoul(version.c_str(), nullptr, 10);
      const std::string path = dir + "/" + name;
      if ((best.empty() || v > best_version) && is_file(path)) best = path, best_version = v;
    }
    closedir(d);
  }
  return best;
}

}  // namespace

bool is_windows_system_library(std::string_view name) {
  static constexpr std::array<std::string_view, 40> kSystem = {
      "advapi32", "comctl32", "comdlg32", "crypt32",  "d3d9",     "ddraw",    "dinput",   "dsound",
      "dwmapi",   "gdi32",    "gdiplus",  "glu32",    "imm32",    "kernel32", "mpr",      "msimg32",
      "msvcrt",   "netapi32", "ntdll",    "ole32",    "oleaut32", "opengl32", "psapi",    "rpcrt4",
      "setupapi", "shell32",  "shfolder", "shlwapi",  "urlmon",   "user32",   "userenv",  "uxtheme",
      "version",  "winhttp",  "wininet",  "winmm",    "winspool", "ws2_32",   "wsock32",  "wtsapi32"};
  std::string base = lower(file_part(name));
  for (std::string_view ext : {".dll", ".drv"})
    if (base.size() > ext.size() && base.compare(base.size() - ext.size(), ext.size(), ext) == 0)
      base.resize(base.size() - ext.size());
  return std::find(kSystem.begin(), kSystem.end(), base) != kSystem.end();
}

void* library_open(std::string_view name, std::string* why) {
  if (name.empty() || name.find('\0') != std::string_view::npos) {
    if (why) *why = "no library name";
    return nullptr;
  }
  if (is_windows_system_library(name)) {
    if (why) *why = "a Windows system library, which this system does not have";
    return nullptr;
  }
  Attempts a;
  const std::string given(name);
  const size_t slash = given.rfind('/');
  std::vector<std::string> candidates = {given};
  std::string base;
  if (ends_with_dll(given)) {
    const std::string dir = slash == std::string::npos ? "" : given.substr(0, slash + 1);
    base = std::string(file_part(given).substr(0, file_part(given).size() - 4));
    candidates.push_back(dir + "lib" + base + ".so");
    if (lower(base) != base) candidates.push_back(dir + "lib" + lower(base) + ".so");
  }
  for (const std::string& c : candidates) {
    // A bare name names a file of the current directory first, as it did
    // where scripts were first written.
    if (slash == std::string::npos && is_file(c))
      if (void* h = try_open("./" + c, a)) return h;
    if (void* h = try_open(c, a)) return h;
  }
  if (!base.empty()) {
    std::vector<std::string> dirs;
    if (slash != std::string::npos) {
      dirs.push_back(given.substr(0, slash));
    } else {
      dirs = library_dirs();
      dirs.insert(dirs.begin(), ".");
    }
    const std::string versioned = find_versioned(dirs, "lib" + lower(base) + ".so.");
    if (!versioned.empty())
      if (void* h = try_open(versioned, a)) return h;
  }
  if (why) *why = !a.refused.empty() ? a.refused : "not found (looked for " + a.tried + ")";
  return nullptr;
}

void library_close(void* library) {
  if (library) dlclose(library);
}

void* library_symbol(void* library, const char* name) {
  if (!library || !name) return nullptr;
  return dlsym(library, name);
}

struct CallSignature {
  ffi_cif cif;
  CType result;
  size_t count;
  CType params[kMaxCallParams];
  ffi_type* types[kMaxCallParams];
};

namespace {

ffi_type* ffi_type_of(CType t) {
  switch (t) {
    case CType::Void: return &ffi_type_void;
    case CType::U8: return &ffi_type_uint8;
    case CType::S8: return &ffi_type_sint8;
    case CType::U16: return &ffi_type_uint16;
    case CType::S16: return &ffi_type_sint16;
    case CType::U32: return &ffi_type_uint32;
    case CType::S32: return &ffi_type_sint32;
    case CType::S64: return &ffi_type_sint64;
    case CType::Float: return &ffi_type_float;
    case CType::Double: return &ffi_type_double;
    case CType::Pointer: return &ffi_type_pointer;
  }
  return &ffi_type_void;
}

}  // namespace

CallSignature* signature_prepare(CType result, const CType* params, size_t count) {
  if (count > kMaxCallParams) return nullptr;
  auto* s = new CallSignature{};
  s->result = result;
  s->count = count;
  for (size_t i = 0; i < count; i++) {
    if (params[i] == CType::Void) {  // no parameter has type void
      delete s;
      return nullptr;
    }
    s->params[i] = params[i];
    s->types[i] = ffi_type_of(params[i]);
  }
  if (ffi_prep_cif(&s->cif, FFI_DEFAULT_ABI, unsigned(count), ffi_type_of(result), s->types) != FFI_OK) {
    delete s;
    return nullptr;
  }
  return s;
}

void signature_free(CallSignature* signature) { delete signature; }

CallValue signature_call(const CallSignature* s, void* fn, const CallValue* args) {
  // Each argument in storage of its own C type, as libffi reads it.
  union Slot {
    uint8_t u8;
    int8_t s8;
    uint16_t u16;
    int16_t s16;
    uint32_t u32;
    int32_t s32;
    int64_t s64;
    float f;
    double d;
    void* p;
  };
  Slot slots[kMaxCallParams];
  void* pointers[kMaxCallParams];
  for (size_t i = 0; i < s->count; i++) {
    Slot& slot = slots[i];
    const CallValue& a = args[i];
    switch (s->params[i]) {
      case CType::U8: slot.u8 = uint8_t(a.i); break;
      case CType::S8: slot.s8 = int8_t(a.i); break;
      case CType::U16: slot.u16 = uint16_t(a.i); break;
      case CType::S16: slot.s16 = int16_t(a.i); break;
      case CType::U32: slot.u32 = uint32_t(a.i); break;
      case CType::S32: slot.s32 = int32_t(a.i); break;
      case CType::S64: slot.s64 = a.i; break;
      case CType::Float: slot.f = float(a.f); break;
      case CType::Double: slot.d = a.f; break;
      case CType::Pointer: slot.p = reinterpret_cast<void*>(intptr_t(a.i)); break;
      case CType::Void: slot.s64 = 0; break;
    }
    pointers[i] = &slot;
  }
  // libffi widens integer results narrower than a register to ffi_arg.
  alignas(16) unsigned char result[16] = {};
  ffi_call(const_cast<ffi_cif*>(&s->cif), FFI_FN(fn), result, s->count ? pointers : nullptr);
  CallValue out;
  ffi_arg word;
  std::memcpy(&word, result, sizeof word);
  switch (s->result) {
    case CType::Void: break;
    case CType::U8: out.i = uint8_t(word); break;
    case CType::S8: out.i = int8_t(word); break;
    case CType::U16: out.i = uint16_t(word); break;
    case CType::S16: out.i = int16_t(word); break;
    case CType::U32: out.i = uint32_t(word); break;
    case CType::S32: out.i = int32_t(word); break;
    case CType::S64: std::memcpy(&out.i, result, sizeof out.i); break;
    case CType::Float: {
      float f;
      std::memcpy(&f, result, sizeof f);
      out.f = f;
      break;
    }
    case CType::Double: std::memcpy(&out.f, result, sizeof out.f); break;
    case CType::Pointer: {
      void* p;
      std::memcpy(&p, result, sizeof p);
      out.i = int64_t(reinterpret_cast<intptr_t>(p));
      break;
    }
  }
  return out;
}

}  // namespace platform
