// Variables, arrays and scopes.
//
// Scope tables, script arrays and the with-stack are all ARRAY elements: a
// map from Value keys to Values kept sorted by key. Keys compare as 64-bit
// numbers, high words signed then low words unsigned, so integer keys sort
// below every handle and name keys compare as integers.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>
#include <string_view>

#include "vm/element.h"
#include "vm/value.h"

namespace vm {

struct Interp;

struct ArrayItem {
  Value value;
  Value key;
};

struct ArrayRecord {
  uint32_t self;      // the array's own handle
  uint32_t count;     // items in use
  uint32_t slots;     // item capacity (at least 8)
  uint32_t restore;   // low byte 1: a with-record
  Value label;        // label name for calls through the array, or null
  Interp* owner;      // with-record: the context that restores its items
  ArrayItem items[];  // sorted by key
};

struct ArrayPathRecord {
  Value base;      // the variable name
  uint32_t count;  // number of indices
  uint32_t pad;
  Value index[];
};
// Array and path records are made by clearing bytes (element_create) and
// grown by heap_resize, which moves them bytewise.
static_assert(std::is_trivially_copyable_v<ArrayItem>);
static_assert(std::is_trivially_copyable_v<ArrayRecord>);
static_assert(std::is_trivially_copyable_v<ArrayPathRecord>);

// --- the sorted map -------------------------------------------------------

// A new empty array (one reference, owned by the caller).
// `slots` items fit before it grows (at least 8); a call's scope table
// asks for the room its usual items take at once.
uint32_t array_new(uint32_t slots = 8);

// The record of an ARRAY value, or null.
[[gnu::always_inline]] inline ArrayRecord* array_of(Value v) {
  return static_cast<ArrayRecord*>(element_lookup(v, kTypeArray));
}

// Binary search of the sorted items; returns the index found (found = true)
// or the index at which the key belongs. Keys compare as signed 64-bit
// numbers: high words signed, then low words unsigned.
inline uint32_t array_search(const ArrayRecord* a, Value key, bool& found) {
  int64_t k = int64_t(key.bits);
  if (a->count <= 8) {  // small tables: a scan predicts better than halving
    uint32_t i = 0;
    while (i < a->count && int64_t(a->items[i].key.bits) < k) i++;
    found = i < a->count && int64_t(a->items[i].key.bits) == k;
    return i;
  }
  // Arrays filled by index hold a dense run of integer keys: the item at
  // the key's distance from the first key is tried first, and a key above
  // the last one belongs at the end (keys are distinct and sorted, so both
  // answers are the ones the search would give).
  uint64_t guess = uint64_t(k) - a->items[0].key.bits;
  if (guess < a->count && int64_t(a->items[guess].key.bits) == k) {
    found = true;
    return uint32_t(guess);
  }
  if (k > int64_t(a->items[a->count - 1].key.bits)) {
    found = false;
    return a->count;
  }
  uint32_t lo = 0, hi = a->count;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    int64_t m = int64_t(a->items[mid].key.bits);
    if (m == k) {
      found = true;
      return mid;
    }
    if (m < k)
      lo = mid + 1;
    else
      hi = mid;
  }
  found = false;
  return lo;
}

// The item for `key` in the array held by `cell`, or null.
inline Value* table_find(Value cell, Value key) {
  ArrayRecord* a = array_of(cell);
  if (!a) return nullptr;
  bool found;
  uint32_t i = array_search(a, key, found);
  return found ? &a->items[i].value : nullptr;
}
// Finds or inserts the item for `key`; when `cell` holds no array, its value
// is released and replaced by a new empty array first. Null when memory runs
// out. The returned pointer is valid until the next insertion into the array.
Value* table_get(Value& cell, Value key);
// Appends an item with the key one above the last item's key (0 when empty).
void array_append(Value& cell, Value v);
// Removes the item for `key` (with-records restore it first). When the
// array becomes empty it is released and `cell` becomes null.
void table_remove(Interp* ctx, Value& cell, Value key);

// --- scopes and names -------------------------------------------------------

// The scope table of depth `depth` (created on demand when `create`).
Value* scope_table(Interp& ctx, uint32_t depth, bool create);
// Deletes the scope table at `depth`, releasing every local in it.
void scope_delete(Interp& ctx, uint32_t depth);
// A return's common case in one pass: when the current scope (below the
// outermost two) is a plain scope table without a with-stack whose own
// _retpc holds an integer, that integer is put in `retpc`, the scope is
// deleted as scope_delete deletes it, and the depth goes down by one.
// False, with nothing changed, for anything else.
bool scope_leave_plain(Interp& ctx, int64_t& retpc);
// The room a call's scope table is made with: the return position, the
// arguments and their count, the stack depth and a few locals.
inline constexpr uint32_t kScopeSlots = 16;
// An empty scope table of kScopeSlots (one reference, owned by the caller):
// one that a returning call left (scope_delete keeps a few), else a new one.
uint32_t scope_table_new(Interp& ctx);

// Bumped whenever any array gains, loses or frees items, a name's binding
// changes or the element table moves: the variable cells cached in name
// entries (ElementEntry::cache_cell) and in runs' steps stay valid only
// while it is unchanged.
extern uint32_t g_shape_generation;
// Bumped whenever a name becomes common or gains or loses a label or a
// command: the labels and commands that runs' steps reach stay valid only
// while it is unchanged.
extern uint32_t g_binding_generation;
inline void names_rebound() {
  g_binding_generation++;
  g_shape_generation++;
}

// The cell of a plain name (entry `e`) that was last found in an innermost
// scope, when the item at the position its entry cached in the scope table
// at `depth` of `ctx` (whose table of scopes is `scopes`) still has the
// name as its key; null when not. No scope can hide an innermost local, so
// that item is what a search would find, whatever changed since and
// whichever context cached it. The cell is cached again for the current
// generation.
[[gnu::always_inline]] inline Value* cached_innermost(Interp* ctx, Value scopes, uint32_t depth, ElementEntry* e,
                                                      Value name) {
  ArrayRecord* s = array_of(scopes);
  if (!s || depth >= s->count || !(s->items[depth].key == Value::from_int(depth))) return nullptr;
  ArrayRecord* a = array_of(s->items[depth].value);
  uint32_t i = e->cache_index;
  if (!a || i >= a->count || !(a->items[i].key == name)) return nullptr;
  e->cache_generation = g_shape_generation;
  e->cache_ctx = ctx;
  e->cache_depth = depth;
  e->cache_cell = &a->items[i].value;
  return e->cache_cell;
}

Value* var_find(Interp& ctx, Value name);
Value* var_for_set(Interp& ctx, Value name);
Value* var_in_local(Interp& ctx, Value name);
Value* var_in_global(Interp& ctx, Value name);
// The value `at` gives for a name (a new reference), raising
// UNDEFINEDVARIABLE for an unknown name that is no environment variable.
Value var_value(Interp& ctx, Value name);
void var_delete(Interp& ctx, Value name);
// Stores into a variable as `set` does (system variables call their command).
void var_set(Interp& ctx, Value name, Value v);

// Looks up a local by integer key in the current scope (label arguments).
Value* local_int(Interp& ctx, int64_t key);

// The variable name derived from a file name (loading commands, strvarname).
// Returns a text value the caller owns.
Value name_from_text(Interp& ctx, Value text);

// Wildcard matching, case-insensitive: "*" any run, "?" any one character.
bool wildcard_match(std::string_view pattern, std::string_view text);

// The handler of the ...free commands: closes the frame and deletes each
// variable its arguments name; an argument with "*" or "?" stands for the
// variables of every scope whose names match it and that hold an element of
// `type` (0: no element, -1: any value).
void free_variables(Interp& ctx, int64_t type);

// Calls a built-in command with the given arguments inside two frames and
// discards its results; used for system variables by `set` and with-records.
void call_command_with(Interp& ctx, uint32_t name_handle, const Value* args, uint32_t n);

void variables_register_cleanup();

// Copies the n arguments (first script argument first), taking references,
// and pops them from the stack; release_all gives the references back.
std::vector<Value> take_args(Interp& ctx, uint32_t n);
void release_all(const std::vector<Value>& values);

// Raw memory of the running script, provided by the storage layer so that
// this layer does not depend on it. While unset, raw addresses are never
// read or written.
struct RawMemoryHooks {
  // The bytes from `address` to the end of the live memory block holding it
  // (`out` then points at `address`); 0 when no block holds it.
  int64_t (*extent)(Interp& ctx, int64_t address, uint8_t** out) = nullptr;
  // `set` of a variable that holds a memory buffer: stores `v` into the
  // buffer and returns true, or returns false for an ordinary store.
  bool (*store)(Interp& ctx, Value buffer, Value v) = nullptr;
};
extern RawMemoryHooks g_raw_memory;

}  // namespace vm
