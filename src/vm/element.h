// The process-wide element table.
//
// Every object a script can hold (texts, arrays, images, files, timers ...)
// is an element: an entry of one table that owns the object's record and
// counts the references to it. A handle is 0x40000000 + the entry's index.
// Texts are interned: at most one text element exists for each distinct byte
// string of a given type, and the same entries carry the symbol information
// of names (command handlers, label targets, common-variable values).
//
// Handle checks and reference counting are inline: every push and pop of a
// value runs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/spin_lock.h"
#include "vm/value.h"

namespace vm {

struct Interp;
using CommandHandler = void (*)(Interp&);

// The element types, written once: X(number, identifier, display name).
// The number is the type's kTypeIdentifier; the display name is what
// the text form of an element shows before its description. 10 is no type.
#define QUILLON_ELEMENT_TYPES(X)       \
  X(0, Invalid, "INVALID")             \
  X(1, String, "STRING")               \
  X(2, Label, "LABEL")                 \
  X(3, Instance, "INSTANCE")           \
  X(4, Program, "PROGRAM")             \
  X(5, Stack, "STACK")                 \
  X(6, Array, "ARRAY")                 \
  X(7, ArrayPath, "ARRAYPATH")         \
  X(8, Image, "IMAGE")                 \
  X(9, Font, "FONT")                   \
  X(11, Timer, "TIMER")                \
  X(12, Dll, "DLL")                    \
  X(13, DllFunc, "DLLFUNC")            \
  X(14, MemBuf, "MEMBUF")              \
  X(15, MemData, "MEMDATA")            \
  X(16, File, "FILE")                  \
  X(17, FileData, "FILEDATA")          \
  X(18, Vk, "VK")                      \
  X(19, Area, "AREA")                  \
  X(20, Bitmask, "BITMASK")            \
  X(21, Layer, "LAYER")                \
  X(22, When, "WHEN")                  \
  X(23, Hotspot, "HOTSPOT")            \
  X(24, ImageBits, "IMAGEBITS")        \
  X(25, Measure, "MEASURE")            \
  X(26, InputField, "INPUTFIELD")      \
  X(27, Fade, "FADE")                  \
  X(28, Sound, "SOUND")

enum ElementType : uint32_t {
#define X(num, id, name) kType##id = num,
  QUILLON_ELEMENT_TYPES(X)
#undef X
};

// One more than the highest type number: the size of tables indexed by type.
inline constexpr uint32_t kElementTypeCount = [] {
  uint32_t count = 0;
#define X(num, id, name) count = num + 1 > count ? num + 1 : count;
  QUILLON_ELEMENT_TYPES(X)
#undef X
  return count;
}();
static_assert(kTypeString == 1 && kTypeTimer == 11 && kTypeSound == 28 && kElementTypeCount == 29);

// Origin flags (byte 2 of the holds word).
inline constexpr uint8_t kOriginIsName = 1;       // interned as a name
inline constexpr uint8_t kOriginStaticBytes = 2;  // bytes not owned, never freed

// Entry flags.
inline constexpr uint32_t kFlagUnique = 1;        // made outside the interning index
inline constexpr uint32_t kFlagHasLabel = 2;      // `target` is valid
inline constexpr uint32_t kFlagHasCommand = 4;    // `handler` is valid
inline constexpr uint32_t kFlagGlobalValue = 8;   // `global` holds a common variable
inline constexpr uint32_t kFlagReleasing = 32;    // clean-up running
inline constexpr uint32_t kFlagBuiltin = 64;      // one of the built-in command names
inline constexpr uint32_t kFlagFreePending = 128; // queued to be freed by the outermost element_free

inline constexpr uint32_t kHoldMask = 0x3fff;

// The highest index the table hands out (kIndexMask); tests lower it to
// reach a full table quickly.
extern uint32_t g_element_index_limit;

// One slot of the table. The fields and their meanings are those of the
// design's ten-word entry; on a 64-bit host the payload pointer and the
// handler do not fit 32-bit words, so the common-variable value has a field
// of its own instead of sharing the handler's and target's words.
struct ElementEntry {
  void* payload;        // the record or a text's bytes; null: the slot is free
  int32_t size;         // payload bytes (a text's length); free slot: next free index
  int32_t refs;         // reference count
  uint32_t bucket_pos;  // position in its interning bucket, 0 when not interned
  uint32_t type;        // element type; free slot: previous free index
  CommandHandler handler;
  uint32_t target;      // label target (code index) or a DLLFUNC handle
  uint16_t holds;       // bits 0..13: hold count; bits 14..15 kept unchanged
  uint8_t origin;
  uint8_t bucket;
  uint32_t flags;
  // The position of the variable cell below in the innermost scope table,
  // when the name was last found there (variables.h, cached_innermost).
  uint32_t cache_index;
  Value global;         // common variable value (kFlagGlobalValue)
  // The variable cell this name last resolved to (variables.cpp): valid
  // while no scope table changed shape and the context and depth agree.
  uint32_t cache_generation;
  uint32_t cache_depth;
  Interp* cache_ctx;
  Value* cache_cell;
};

struct InternBucket {
  uint32_t* indices;  // sorted entry indices, used from position 1
  uint32_t capacity;
  uint32_t count;     // positions in use, position 0 included
};

struct ElementTable {
  ElementEntry* entries = nullptr;
  uint32_t capacity = 0;
  uint32_t length = 0;     // highest index in use
  uint32_t live = 0;       // entries in use
  uint32_t free_head = 0;  // first free slot below `length`
  InternBucket buckets[256] = {};
  base::SpinLock create_lock;
  base::SpinLock release_lock;
  base::SpinLock index_lock;
};

extern ElementTable g_elements;

// Clean-up run when an element of a type is freed, before its payload goes.
using ElementCleanup = void (*)(uint32_t handle, void* payload);
void element_set_cleanup(uint32_t type, ElementCleanup fn);

// --- inline handle checks and reference counting -------------------------
// Forced inline: the compiler would otherwise call them out of line from
// the interpreter's main loop, a function too large for its inlining limits.

// The entry of a valid handle, or null: the top two bits must be 01, the
// index from 1 to `length`, and the slot in use. One unsigned compare
// checks all three bounds: any other top bits, and index 0, wrap far above
// `length` (never above kIndexMask).
[[gnu::always_inline]] inline ElementEntry* element_entry(uint32_t handle) {
  uint32_t index = handle - kHandleBase;
  if (index - 1 >= g_elements.length) return nullptr;
  ElementEntry* e = &g_elements.entries[index];
  return e->payload ? e : nullptr;
}

[[gnu::always_inline]] inline ElementEntry* element_entry(Value v) {
  return v.is_element() ? element_entry(v.handle()) : nullptr;
}

// The record of a valid handle of the given type, or null.
[[gnu::always_inline]] inline void* element_lookup(uint32_t handle, uint32_t type) {
  ElementEntry* e = element_entry(handle);
  return e && e->type == type ? e->payload : nullptr;
}
[[gnu::always_inline]] inline void* element_lookup(Value v, uint32_t type) {
  return v.is_element() ? element_lookup(v.handle(), type) : nullptr;
}

[[gnu::always_inline]] inline uint32_t element_type_of(Value v) {
  ElementEntry* e = element_entry(v);
  return e ? e->type : kTypeInvalid;
}

// Whether v is a text (a STRING element).
inline bool is_text(Value v) { return element_type_of(v) == kTypeString; }

void element_free(uint32_t handle);

[[gnu::always_inline]] inline void element_ref(uint32_t handle) {
  if (ElementEntry* e = element_entry(handle)) e->refs++;
}

[[gnu::always_inline]] inline void element_release(uint32_t handle) {
  ElementEntry* e = element_entry(handle);
  if (!e) return;
  if (--e->refs < 1 && (e->holds & kHoldMask) == 0) element_free(handle);
}

[[gnu::always_inline]] inline void value_ref(Value v) {
  if (v.is_element()) element_ref(v.handle());
}
[[gnu::always_inline]] inline void value_release(Value v) {
  if (v.is_element()) element_release(v.handle());
}

// Stores `v` into `cell`: takes a reference to the new value, releases the
// old one (in that order, so that storing a cell's own value is safe).
inline void value_store(Value& cell, Value v) {
  value_ref(v);
  Value old = cell;
  cell = v;
  value_release(old);
}

// --- creation and interning ------------------------------------------------

// A new element whose payload is `size` bytes (+4 zero bytes), copied from
// `bytes` when given. Unique (not interned); the caller owns the one
// reference. Returns the null handle when memory runs out.
uint32_t element_create(const void* bytes, size_t size, uint32_t type);

// The interned element for (bytes, size, type): an existing one gains a
// reference, a new one starts with one. Null bytes give the null handle.
uint32_t element_intern(const void* bytes, int64_t size, uint32_t type);
inline uint32_t text_intern(std::string_view s) {
  return element_intern(s.data() ? s.data() : "", int64_t(s.size()), kTypeString);
}

// Interns a name of the symbol table and raises its hold count.
uint32_t name_intern(const void* bytes, int64_t size);
// As name_intern, pointing the payload at constant bytes that outlive the
// table (the built-in command names).
uint32_t static_name_intern(const char* bytes, int64_t size);

// Resizes an element's payload (growth is zeroed). Returns the new payload,
// or null when the handle is invalid or memory runs out.
void* element_resize(uint32_t handle, size_t size);

// A text element's bytes and length; an empty view when the value is no text.
std::string_view element_text(Value v);

// The display name of a type; "INVALID" for a number that is no type.
const char* element_type_name(uint32_t type);

// Frees every element from the highest index down (process tear-down).
void element_free_all();

}  // namespace vm
