#include "vm/variables.h"

#include "vm/wildcard.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "vm/call_frames.h"
#include "vm/commands.h"
#include "vm/control.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/heap.h"
#include "vm/interp.h"

namespace vm {

uint32_t g_shape_generation = 1;
uint32_t g_binding_generation = 1;

namespace {

size_t array_bytes(uint32_t slots) { return sizeof(ArrayRecord) + size_t(slots) * sizeof(ArrayItem); }

// Refits the item capacity: grow by 8 while count + 2 >= slots, shrink by 8
// while slots >= count + 22, never below 8.
ArrayRecord* array_refit(uint32_t handle, ArrayRecord* a) {
  if (a->slots >= 8 && a->count + 2 < a->slots && (a->slots < a->count + 22 || a->slots == 8)) return a;  // the common case
  uint32_t slots = a->slots;
  while (a->count + 2 >= slots) slots += 8;
  while (slots >= a->count + 22 && slots > 8) slots -= 8;
  if (slots < 8) slots = 8;
  if (slots == a->slots) return a;
  auto* n = static_cast<ArrayRecord*>(element_resize(handle, array_bytes(slots)));
  if (!n) return a;
  n->slots = slots;
  return n;
}

bool is_own_local(std::string_view name) {
  return name == "_retpc" || name == "_retsp" || name == "_with" || name == "_trigger";
}

// Restores one with-record item: its key is set to its value as `set` does.
void restore_item(Interp* owner, Value key, Value value) {
  if (owner && !owner->tearing_down) var_set(*owner, key, value);
}

void array_cleanup(uint32_t, void* payload) {
  auto* a = static_cast<ArrayRecord*>(payload);
  g_shape_generation++;
  // A with-record restores its saved settings, last item first.
  bool restore = (a->restore & 0xff) == 1;
  while (a->count > 0) {
    ArrayItem item = a->items[--a->count];
    if (restore) restore_item(a->owner, item.key, item.value);
    value_release(item.value);
    value_release(item.key);
  }
  Value label = a->label;
  a->label = Value::null();
  value_release(label);
}

void arraypath_cleanup(uint32_t, void* payload) {
  auto* p = static_cast<ArrayPathRecord*>(payload);
  value_release(p->base);
  for (uint32_t i = 0; i < p->count; i++) value_release(p->index[i]);
  p->count = 0;
}

// Resolves the base name of a name argument and, for an ARRAYPATH, its path.
struct NameRef {
  Value base;
  const ArrayPathRecord* path;
};
NameRef resolve_name(Value name) {
  if (auto* p = static_cast<const ArrayPathRecord*>(element_lookup(name, kTypeArrayPath)))
    return {p->base, p};
  return {name, nullptr};
}

Value* common_cell(Value base) {
  ElementEntry* e = element_entry(base);
  return e && (e->flags & kFlagGlobalValue) ? &e->global : nullptr;
}

// The scope table of depth d. Scope keys are usually the dense run 0, 1,
// 2 ..., so the item at position d is tried before the binary search.
inline Value* scope_cell(Interp& ctx, int64_t d) {
  ArrayRecord* s = array_of(ctx.scopes);
  if (!s) return nullptr;
  Value key = Value::from_int(d);
  if (uint64_t(d) < s->count && s->items[d].key == key) return &s->items[d].value;
  return table_find(ctx.scopes, key);
}

// ElementEntry::cache_index when the name was found in an outer scope.
constexpr uint32_t kNotInnermost = 0xffffffffu;

// The cell of `base` in the innermost scope that holds it; `index` is set
// to its position in the scope table when that is the current scope's,
// else to kNotInnermost.
Value* find_in_scopes(Interp& ctx, Value base, uint32_t* index = nullptr) {
  for (int64_t d = ctx.scope_depth; d >= 0; d--) {
    if (CallFrame* frame = call_frame(ctx, uint32_t(d))) {
      if (Value* cell = frame_find(frame, base)) {
        if (index) *index = kNotInnermost;
        return cell;
      }
      continue;
    }
    Value* scope = scope_cell(ctx, d);
    ArrayRecord* a = scope ? array_of(*scope) : nullptr;
    if (!a) continue;
    bool found;
    uint32_t i = array_search(a, base, found);
    if (!found) continue;
    if (index) *index = d == ctx.scope_depth ? i : kNotInnermost;
    return &a->items[i].value;
  }
  return nullptr;
}

// find_in_scopes for a plain name, through what its entry cached: the
// cached cell while no array changed shape (the generation) and the
// context and depth are the same, else the innermost local it names
// (cached_innermost); calls and returns change the generation, and a
// subroutine's locals are found again after them without searching.
inline Value* find_plain(Interp& ctx, ElementEntry* e, Value name) {
  if (e->cache_generation == g_shape_generation && e->cache_ctx == &ctx && e->cache_depth == ctx.scope_depth)
    return e->cache_cell;
  if (Value* cell = cached_innermost(&ctx, ctx.scopes, ctx.scope_depth, e, name)) return cell;
  uint32_t index;
  Value* cell = find_in_scopes(ctx, name, &index);
  if (cell) {
    e->cache_generation = g_shape_generation;
    e->cache_ctx = &ctx;
    e->cache_depth = ctx.scope_depth;
    e->cache_cell = cell;
    e->cache_index = index;
  }
  return cell;
}

// Follows (creating) the indices of a path from `cell`.
Value* walk_path_get(Value* cell, const ArrayPathRecord* path) {
  for (uint32_t i = 0; cell && path && i < path->count; i++) cell = table_get(*cell, path->index[i]);
  return cell;
}

}  // namespace

uint32_t array_new(uint32_t slots) {
  if (slots < 8) slots = 8;
  uint32_t h = element_create(nullptr, array_bytes(slots), kTypeArray);
  if (auto* a = static_cast<ArrayRecord*>(element_lookup(h, kTypeArray))) {
    a->self = h;
    a->slots = slots;
    a->label = Value::null();
  }
  return h;
}


Value* table_get(Value& cell, Value key) {
  ArrayRecord* a = array_of(cell);
  if (!a) {
    uint32_t h = array_new();
    if (!element_entry(h)) return nullptr;
    Value old = cell;
    cell = Value::from_handle(h);
    value_release(old);
    a = array_of(cell);
  }
  bool found;
  uint32_t i = array_search(a, key, found);
  if (found) return &a->items[i].value;
  // The variable cells cached in name entries point into arrays. Appending
  // an integer key leaves them where they are unless the array moves, and
  // cannot hide a variable (names are texts), so they stay valid then.
  const ArrayRecord* before = a;
  bool moves_items = !(key.is_int() && i == a->count);
  if (moves_items) g_shape_generation++;
  uint32_t handle = a->self;
  if (a->count + 1 >= a->slots) {
    uint32_t slots = a->slots + 8;
    auto* n = static_cast<ArrayRecord*>(element_resize(handle, array_bytes(slots)));
    if (!n) return nullptr;
    n->slots = slots;
    a = n;
  }
  std::memmove(&a->items[i + 1], &a->items[i], size_t(a->count - i) * sizeof(ArrayItem));
  value_ref(key);
  a->items[i].key = key;
  a->items[i].value = Value::null();
  a->count++;
  a = array_refit(handle, a);
  if (a != before && !moves_items) g_shape_generation++;
  return &a->items[i].value;
}

void array_append(Value& cell, Value v) {
  ArrayRecord* a = array_of(cell);
  int64_t key = 0;
  if (a && a->count > 0) key = value_to_integer(nullptr, a->items[a->count - 1].key) + 1;
  if (Value* item = table_get(cell, Value::from_int(key))) value_store(*item, v);
}

void table_remove(Interp* ctx, Value& cell, Value key) {
  ArrayRecord* a = array_of(cell);
  if (!a) return;
  bool found;
  uint32_t i = array_search(a, key, found);
  if (!found) return;
  g_shape_generation++;
  ArrayItem item = a->items[i];
  std::memmove(&a->items[i], &a->items[i + 1], size_t(a->count - i - 1) * sizeof(ArrayItem));
  a->count--;
  uint32_t handle = a->self;
  bool restore = (a->restore & 0xff) == 1;
  Interp* owner = a->owner;
  bool empty = a->count == 0;
  if (!empty) array_refit(handle, a);
  // Restoring and releasing may run script commands: the record is settled first.
  if (restore) restore_item(owner ? owner : ctx, item.key, item.value);
  value_release(item.value);
  value_release(item.key);
  if (empty && cell.is_element() && cell.handle() == handle) {
    cell = Value::null();
    element_release(handle);
  }
}

Value* scope_table(Interp& ctx, uint32_t depth, bool create) {
  if (CallFrame* frame = call_frame(ctx, depth)) [[unlikely]]
    if (!frame_to_table(ctx, depth, frame)) return nullptr;
  Value key = Value::from_int(depth);
  // Scope keys are usually the dense run 0, 1, 2 ... (as in scope_cell).
  ArrayRecord* s = array_of(ctx.scopes);
  if (s && depth < s->count && s->items[depth].key == key) return &s->items[depth].value;
  if (!create) return table_find(ctx.scopes, key);
  // A new deepest scope is appended as table_get appends it when the table
  // of scopes has the room, without refitting it: the table keeps the room
  // that deeper calls took instead of shrinking and growing again as the
  // call depth goes up and down (keep_spare_scope does not shrink it).
  if (s && s->count > 0 && s->count + 3 < s->slots && int64_t(s->items[s->count - 1].key.bits) < int64_t(key.bits)) {
    s->items[s->count] = {Value::null(), key};
    return &s->items[s->count++].value;
  }
  return table_get(ctx.scopes, key);
}

namespace {

constexpr uint32_t kMaxSpareScopes = sizeof(Interp::spare_scopes) / sizeof(uint32_t);

// The position of depth `depth`'s cell in the table of scopes, or -1.
[[gnu::always_inline]] inline int64_t scope_position(const Interp& ctx, uint32_t depth) {
  ArrayRecord* scopes = array_of(ctx.scopes);
  if (!scopes) return -1;
  Value key = Value::from_int(depth);
  if (depth < scopes->count && scopes->items[depth].key == key) return depth;  // the dense run (scope_table)
  bool found;
  uint32_t at = array_search(scopes, key, found);
  return found ? at : -1;
}

// Takes the cell of `depth`, at position `at`, out of the table of scopes
// without releasing what it held. The deepest one leaves without refitting
// the table (see scope_table).
void remove_scope_cell(Interp& ctx, uint32_t depth, uint32_t at) {
  ArrayRecord* scopes = array_of(ctx.scopes);
  scopes->items[at].value = Value::null();
  if (at + 1 == scopes->count && scopes->count > 1 && scopes->restore == 0)
    scopes->count--;
  else
    table_remove(&ctx, ctx.scopes, Value::from_int(depth));
  g_shape_generation++;
}

// The scope table at `depth` when scope_delete may keep it for the next
// call: a plain scope table of kScopeSlots that nothing else refers to,
// with room left among the spare ones. Its position in the table of
// scopes is put in `at`.
ArrayRecord* spare_candidate(Interp& ctx, uint32_t depth, uint32_t& at) {
  if (ctx.spare_scope_count >= kMaxSpareScopes) return nullptr;
  const int64_t position = scope_position(ctx, depth);
  if (position < 0) return nullptr;
  at = uint32_t(position);
  Value table = array_of(ctx.scopes)->items[at].value;
  ElementEntry* e = element_entry(table);
  ArrayRecord* a = array_of(table);
  if (!a || e->refs != 1 || (e->holds & kHoldMask) != 0 || a->restore != 0 || !a->label.is_null() ||
      a->slots != kScopeSlots)
    return nullptr;
  return a;
}

// Takes the table at position `at` (a spare_candidate) out of the table of
// scopes as table_remove would, releases its locals as its clean-up would
// (last first), and keeps the emptied table for the next call instead of
// freeing it.
void park_scope(Interp& ctx, uint32_t depth, uint32_t at) {
  Value table = array_of(ctx.scopes)->items[at].value;
  remove_scope_cell(ctx, depth, at);
  uint32_t handle = table.handle();
  // Numbers and texts are released without running anything; after any
  // other value the table is looked up again, in case script code ran.
  auto release = [](Value v) {
    ElementEntry* x = element_entry(v);
    if (!x) return true;
    bool quiet = x->type == kTypeString;
    if (--x->refs < 1 && (x->holds & kHoldMask) == 0) element_free(v.handle());
    return quiet;
  };
  auto* a = static_cast<ArrayRecord*>(element_lookup(handle, kTypeArray));
  while (a && a->count > 0) {
    ArrayItem item = a->items[--a->count];
    bool quiet = release(item.value);
    quiet = release(item.key) && quiet;
    if (!quiet) a = static_cast<ArrayRecord*>(element_lookup(handle, kTypeArray));
  }
  // Releasing the locals may have run script code that took a reference.
  ElementEntry* e = element_entry(handle);
  a = static_cast<ArrayRecord*>(element_lookup(handle, kTypeArray));
  if (a && a->count == 0 && e->refs == 1 && ctx.spare_scope_count < kMaxSpareScopes)
    ctx.spare_scopes[ctx.spare_scope_count++] = handle;
  else
    element_release(handle);
}

// Empties a frame, releasing the keys that hold references.
[[gnu::always_inline]] inline void release_referenced_keys(CallFrame* frame) {
  frame->count = 0;
  if (frame->referenced == 0) [[likely]]
    return;
  for (uint32_t bits = frame->referenced; bits; bits &= bits - 1)
    value_release(frame->items[__builtin_ctz(bits)].key);
  frame->referenced = 0;
}

}  // namespace

CallFrame* frame_for_call_slow(Interp& ctx, uint32_t depth) {
  CallFrames*& frames = ctx.call_frames;
  if (!frames) frames = new (std::nothrow) CallFrames;
  if (!frames) return nullptr;
  const uint32_t block = depth / CallFrames::kBlock;
  while (frames->blocks.size() <= block) {
    std::unique_ptr<CallFrame[]> fresh(new (std::nothrow) CallFrame[CallFrames::kBlock]());
    if (!fresh) return nullptr;
    frames->blocks.push_back(std::move(fresh));
  }
  CallFrame* frame = &frames->blocks[block][depth % CallFrames::kBlock];
  return frame->count == 0 ? frame : nullptr;
}

Value* frame_get(CallFrame* frame, Value key, bool reference) {
  if (Value* cell = frame_find(frame, key)) return cell;
  if (frame->count >= kFrameItems) return nullptr;
  if (reference) {
    value_ref(key);
    frame->referenced |= 1u << frame->count;
  }
  frame->items[frame->count] = {Value::null(), key};
  g_shape_generation++;  // the new local may hide an outer variable of that name
  return &frame->items[frame->count++].value;
}

bool frame_to_table(Interp& ctx, uint32_t depth, CallFrame* frame) {
  Value table = Value::from_handle(scope_table_new(ctx));
  if (!array_of(table)) return false;
  // The keys go in first (the table references them), so that running out
  // of memory leaves every value in the frame.
  for (uint32_t i = 0; i < frame->count; i++)
    if (!table_get(table, frame->items[i].key)) {
      value_release(table);
      return false;
    }
  for (uint32_t i = 0; i < frame->count; i++) *table_find(table, frame->items[i].key) = frame->items[i].value;
  Value* cell = table_get(ctx.scopes, Value::from_int(depth));
  if (!cell || !cell->is_null()) {  // no room, or a cell the frame should not have beside it
    for (uint32_t i = 0; i < frame->count; i++) *table_find(table, frame->items[i].key) = Value::null();
    value_release(table);
    return false;
  }
  *cell = table;
  release_referenced_keys(frame);
  g_shape_generation++;
  ctx.vars_dirty = true;
  return true;
}

void frame_leave(Interp& ctx, CallFrame* frame) {
  const uint32_t count = frame->count;
  release_referenced_keys(frame);  // names: no script code runs
  g_shape_generation++;
  ctx.vars_dirty = true;
  // Releasing may run script code, which finds the frame gone; a call it
  // makes goes one level deeper, so the values stay where they are.
  for (uint32_t i = count; i-- > 0;) value_release(frame->items[i].value);
}

void frames_free(Interp& ctx) {
  CallFrames* frames = ctx.call_frames;
  if (!frames) return;
  for (uint32_t depth = uint32_t(frames->blocks.size() * CallFrames::kBlock); depth-- > 0;)
    if (CallFrame* frame = call_frame(ctx, depth)) frame_leave(ctx, frame);
  ctx.call_frames = nullptr;
  delete frames;
}

uint32_t scope_table_new(Interp& ctx) {
  if (ctx.spare_scope_count > 0) return ctx.spare_scopes[--ctx.spare_scope_count];
  return array_new(kScopeSlots);
}

void scope_delete(Interp& ctx, uint32_t depth) {
  if (CallFrame* frame = call_frame(ctx, depth)) {  // no with-stack: that would have made a table
    frame_leave(ctx, frame);
    return;
  }
  // The scope's with-stack goes first, while the scope is still in place:
  // a record that saved one of the scope's own locals restores it there,
  // not in the caller's scope or in a scope table left behind.
  Value with = Value::from_handle(g_own_names.with);
  if (Value* scope = scope_table(ctx, depth, false); scope && table_find(*scope, with))
    table_remove(&ctx, *scope, with);
  if (uint32_t at; spare_candidate(ctx, depth, at))
    park_scope(ctx, depth, at);
  else
    table_remove(&ctx, ctx.scopes, Value::from_int(depth));
  ctx.vars_dirty = true;
}

bool scope_leave_plain(Interp& ctx, int64_t& retpc) {
  const uint32_t depth = ctx.scope_depth;
  const Value retpc_name = Value::from_handle(g_own_names.retpc), with = Value::from_handle(g_own_names.with);
  ElementEntry* n = element_entry(retpc_name);
  if (depth < 2 || !n || (n->flags & kFlagGlobalValue)) return false;
  if (CallFrame* frame = call_frame(ctx, depth)) {
    const Value* pc = frame_find(frame, retpc_name);
    if (!pc || !pc->is_int()) return false;
    retpc = pc->as_int();
    frame_leave(ctx, frame);
    ctx.scope_depth--;
    return true;
  }
  uint32_t at;
  ArrayRecord* a = spare_candidate(ctx, depth, at);
  if (!a) return false;
  bool found = false;
  for (uint32_t i = 0; i < a->count; i++) {
    if (a->items[i].key == with) return false;  // scope_delete unwinds the with-stack first
    if (a->items[i].key == retpc_name) {
      if (!a->items[i].value.is_int()) return false;
      retpc = a->items[i].value.as_int();
      found = true;
    }
  }
  if (!found) return false;
  park_scope(ctx, depth, at);
  ctx.scope_depth--;
  ctx.vars_dirty = true;
  return true;
}

Value* var_find(Interp& ctx, Value name) {
  ElementEntry* e = element_entry(name);
  if (e && e->type == kTypeString) {  // a plain name: the common case
    if (e->flags & kFlagGlobalValue) return &e->global;
    return find_plain(ctx, e, name);
  }
  NameRef ref = resolve_name(name);
  Value* cell = common_cell(ref.base);
  if (!cell) cell = find_in_scopes(ctx, ref.base);
  for (uint32_t i = 0; cell && ref.path && i < ref.path->count; i++) cell = table_find(*cell, ref.path->index[i]);
  return cell;
}

Value* var_for_set(Interp& ctx, Value name) {
  ElementEntry* e = element_entry(name);
  if (e && e->type == kTypeString) {  // a plain name: the common case
    if (e->flags & kFlagGlobalValue) return &e->global;
    if (Value* cell = find_plain(ctx, e, name)) return cell;
    if (CallFrame* frame = call_frame(ctx, ctx.scope_depth))
      if (Value* cell = frame_get(frame, name, true)) return cell;
    Value* scope = scope_table(ctx, ctx.scope_depth, true);
    return scope ? table_get(*scope, name) : nullptr;
  }
  NameRef ref = resolve_name(name);
  Value* cell = common_cell(ref.base);
  if (!cell) cell = find_in_scopes(ctx, ref.base);
  if (!cell) {
    Value* scope = scope_table(ctx, ctx.scope_depth, true);
    cell = scope ? table_get(*scope, ref.base) : nullptr;
  }
  return walk_path_get(cell, ref.path);
}

Value* var_in_local(Interp& ctx, Value name) {
  NameRef ref = resolve_name(name);
  Value* scope = scope_table(ctx, ctx.scope_depth, true);
  return walk_path_get(scope ? table_get(*scope, ref.base) : nullptr, ref.path);
}

Value* var_in_global(Interp& ctx, Value name) {
  NameRef ref = resolve_name(name);
  Value* scope = scope_table(ctx, 0, true);
  return walk_path_get(scope ? table_get(*scope, ref.base) : nullptr, ref.path);
}

// The process environment's value of a variable name, or null. Script
// names reach the player in lower case (the compiler folds them), while the
// environment's names are case-sensitive and mostly upper case: the name is
// looked up as given first, then in upper case, so @path finds PATH and
// @http_proxy still finds http_proxy.
static const char* env_lookup(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return nullptr;
  std::string key(name);
  if (const char* env = std::getenv(key.c_str())) return env;
  bool changed = false;
  for (char& c : key)
    if (c >= 'a' && c <= 'z') {
      c = char(c - 'a' + 'A');
      changed = true;
    }
  return changed ? std::getenv(key.c_str()) : nullptr;
}

Value var_value(Interp& ctx, Value name) {
  if (Value* cell = var_find(ctx, name)) {
    value_ref(*cell);
    return *cell;
  }
  if (name.is_int()) {
    // A raw address above 255 names a NUL-terminated text (a library call's
    // result). It is read only when the text and its NUL lie inside a live
    // memory block of the script; anything else gives null.
    uint8_t* p = nullptr;
    int64_t avail = name.as_int() > 255 && g_raw_memory.extent ? g_raw_memory.extent(ctx, name.as_int(), &p) : 0;
    const void* nul = avail > 0 ? std::memchr(p, 0, size_t(avail)) : nullptr;
    if (!nul) return Value::null();
    return Value::from_handle(text_intern(std::string_view(reinterpret_cast<const char*>(p),
                                                           size_t(static_cast<const uint8_t*>(nul) - p))));
  }
  uint32_t type = element_type_of(name);
  if (type == kTypeString) {
    if (const char* env = env_lookup(element_text(name))) {
      size_t n = std::strlen(env);
      return Value::from_handle(text_intern(std::string_view(env, n < 65535 ? n : 65535)));
    }
    raise_about(ctx, kErrUndefinedVariable, name);
    return Value::null();
  }
  if (type == kTypeArray || type == kTypeTimer) {
    value_ref(name);
    return name;
  }
  return Value::null();
}

RawMemoryHooks g_raw_memory;

void var_delete(Interp& ctx, Value name) {
  NameRef ref = resolve_name(name);
  ctx.vars_dirty = true;
  for (int64_t d = ctx.scope_depth; d >= 0; d--) {
    Value* scope = scope_table(ctx, uint32_t(d), false);
    if (!scope) continue;
    if (!ref.path) {
      if (table_find(*scope, ref.base)) {
        table_remove(&ctx, *scope, ref.base);
        return;
      }
      continue;
    }
    // A path removes the innermost item it names.
    Value* cell = table_find(*scope, ref.base);
    if (!cell) continue;
    for (uint32_t i = 0; cell && i + 1 < ref.path->count; i++) cell = table_find(*cell, ref.path->index[i]);
    if (cell && ref.path->count > 0) table_remove(&ctx, *cell, ref.path->index[ref.path->count - 1]);
    return;
  }
}

void call_command_with(Interp& ctx, uint32_t name_handle, const Value* args, uint32_t n) {
  ElementEntry* e = element_entry(name_handle);
  if (!e || !(e->flags & kFlagHasCommand) || !e->handler) return;
  CommandHandler h = e->handler;
  open_frame(ctx);
  open_frame(ctx);
  for (uint32_t i = n; i-- > 0;) push(ctx, args[i]);
  h(ctx);
  discard_to_frame(ctx);
}

void var_set(Interp& ctx, Value name, Value v) {
  ElementEntry* e = element_entry(name);
  if (e && e->type == kTypeString && (e->flags & kFlagHasCommand) && e->handler) {
    call_command_with(ctx, name.handle(), &v, 1);
    return;
  }
  if (name.is_int() && name.as_int() >= 65536) {
    // A raw address: the value's text and a NUL are written only when both
    // fit inside a live memory block of the script; otherwise nothing is.
    uint8_t* p = nullptr;
    int64_t avail = g_raw_memory.extent ? g_raw_memory.extent(ctx, name.as_int(), &p) : 0;
    if (avail <= 0) return;
    Value t = value_to_text(&ctx, v);
    std::string_view s = element_text(t);
    if (int64_t(s.size()) < avail) {
      if (!s.empty()) std::memcpy(p, s.data(), s.size());  // null gives a view without a pointer
      p[s.size()] = 0;
    }
    value_release(t);
    return;
  }
  Value* cell = var_for_set(ctx, name);
  if (!cell) return;
  // A variable that holds a memory buffer receives the value's text in the
  // buffer's bytes.
  if (g_raw_memory.store && element_type_of(*cell) == kTypeMemBuf && g_raw_memory.store(ctx, *cell, v)) return;
  value_store(*cell, v);
}

Value* local_int(Interp& ctx, int64_t key) {
  if (CallFrame* frame = call_frame(ctx, ctx.scope_depth)) return frame_find(frame, Value::from_int(key));
  Value* scope = scope_table(ctx, ctx.scope_depth, false);
  return scope ? table_find(*scope, Value::from_int(key)) : nullptr;
}

bool wildcard_match(std::string_view p, std::string_view t) { return wildcard_match_folded(p, t, ascii_lower); }

Value name_from_text(Interp& ctx, Value text) {
  (void)ctx;
  std::string_view s = element_text(text);
  std::string owned;
  if (element_type_of(text) != kTypeString) {
    Value t = value_to_text(nullptr, text);
    owned = std::string(element_text(t));
    value_release(t);
    s = owned;
  }
  // 1. The file-name part.
  size_t cut = s.rfind('/');
  if (cut == std::string_view::npos) cut = s.rfind('\\');
  if (cut == std::string_view::npos) cut = s.rfind(':');
  std::string_view file = cut == std::string_view::npos ? s : s.substr(cut + 1);
  if (file.size() > 1023) file = file.substr(0, 1023);
  // 2. Cut at the first "." (or "+"), dropping a frame number before a "+".
  std::string name(file);
  size_t dot = name.find('.');
  size_t plus = name.find('+');
  auto drop_digits_before = [&](size_t at) {
    size_t b = at;
    while (b > 0 && name[b - 1] >= '0' && name[b - 1] <= '9') b--;
    name.erase(b, at - b);
  };
  if (dot != std::string::npos) {
    bool plus_after = name.find('+', dot) != std::string::npos;
    name.resize(dot);
    if (plus_after) drop_digits_before(dot);
  } else if (plus != std::string::npos) {
    name.resize(plus);
    drop_digits_before(plus);
  }
  // 3, 4. Lower case; keep letters, digits, "_" and "-".
  std::string out;
  bool all_digits = true;
  for (char c : name) {
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
    bool digit = c >= '0' && c <= '9';
    if ((c >= 'a' && c <= 'z') || digit || c == '_' || c == '-') {
      out += c;
      all_digits = all_digits && digit;
    }
  }
  if (out.empty() || all_digits) out.insert(out.begin(), '_');
  // 5. Nothing usable: a name from the CRC-32 of the lower-cased file part.
  if (out == "_") {
    std::string low(file);
    for (char& c : low)
      if (c >= 'A' && c <= 'Z') c = char(c + 32);
    uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(low.data()), uInt(low.size()));
    char buf[16];
    std::snprintf(buf, sizeof buf, "_%8lx", static_cast<unsigned long>(crc));
    out = buf;
  }
  // 6. The given text itself when nothing changed.
  if (element_type_of(text) == kTypeString && out == s) {
    value_ref(text);
    return text;
  }
  return Value::from_handle(text_intern(out));
}

void variables_register_cleanup() {
  element_set_cleanup(kTypeArray, array_cleanup);
  element_set_cleanup(kTypeArrayPath, arraypath_cleanup);
}

// --- commands -----------------------------------------------------------------

std::vector<Value> take_args(Interp& ctx, uint32_t n) {
  std::vector<Value> args(ctx.top, ctx.top + n);
  for (Value v : args) value_ref(v);
  pop_n(ctx, n);
  return args;
}

void release_all(const std::vector<Value>& values) {
  for (Value v : values) value_release(v);
}

namespace {

// Pushes a value; an ARRAY expands into its items, nested ones recursively,
// the first item on top. `keys` pushes the keys of the outer array instead.
void push_expanded(Interp& ctx, Value v, bool keys, int depth) {
  ArrayRecord* a = array_of(v);
  if (!a || depth > 64) {
    if (element_type_of(v) == kTypeTimer) {
      push_int(ctx, value_to_integer(&ctx, v));
      return;
    }
    push(ctx, v);
    return;
  }
  uint32_t handle = a->self;
  for (uint32_t i = a->count; i-- > 0;) {
    a = static_cast<ArrayRecord*>(element_lookup(handle, kTypeArray));
    if (!a || i >= a->count) break;
    if (keys)
      push(ctx, a->items[i].key);
    else
      push_expanded(ctx, a->items[i].value, false, depth + 1);
  }
}

// Replaces each argument holding "*" or "?" by the names of all variables of
// all scopes that match it (optionally only those holding elements of
// `type`; type 0 keeps the variables holding no element). The player's own
// locals (_retpc, _retsp, _with) are never matched: deleting them would
// break the return from the running subroutine.
std::vector<Value> expand_wildcards(Interp& ctx, const std::vector<Value>& args, int64_t type) {
  std::vector<Value> out;
  for (Value a : args) {
    Value t = value_to_text(&ctx, a);
    std::string pattern(element_text(t));
    value_release(t);
    if (pattern.find_first_of("*?") == std::string::npos) {
      value_ref(a);
      out.push_back(a);
      continue;
    }
    for (int64_t d = ctx.scope_depth; d >= 0; d--) {
      Value* scope = scope_table(ctx, uint32_t(d), false);
      ArrayRecord* s = scope ? array_of(*scope) : nullptr;
      for (uint32_t i = 0; s && i < s->count; i++) {
        Value key = s->items[i].key;
        std::string_view name = element_text(key);
        if (element_type_of(key) != kTypeString || is_own_local(name)) continue;
        if (pattern != "*" && !wildcard_match(pattern, name)) continue;
        if (type >= 0) {
          uint32_t vt = element_type_of(s->items[i].value);
          if (type == 0 ? vt != kTypeInvalid : int64_t(vt) != type) continue;
        }
        value_ref(key);
        out.push_back(key);
      }
    }
  }
  return out;
}


// local/global: name value pairs into the scope picked by `where`.
void store_pairs(Interp& ctx, Value* (*where)(Interp&, Value)) {
  uint32_t n = close_frame(ctx);
  for (uint32_t i = 0; i < n; i += 2) {
    if (Value* cell = where(ctx, ctx.top[i])) value_store(*cell, arg(ctx, n, i + 1));
  }
  pop_n(ctx, n);
  ctx.vars_dirty = true;
}

}  // namespace

void free_variables(Interp& ctx, int64_t type) {
  uint32_t n = close_frame(ctx);
  std::vector<Value> args = take_args(ctx, n);
  std::vector<Value> names = expand_wildcards(ctx, args, type);
  for (Value name : names) var_delete(ctx, name);
  release_all(names);
  release_all(args);
}

void h_set(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n == 2) {  // the common case: no copies
    var_set(ctx, ctx.top[0], ctx.top[1]);
    pop_n(ctx, 2);
    return;
  }
  std::vector<Value> args = take_args(ctx, n);
  for (uint32_t i = 0; i < n; i += 2) var_set(ctx, args[i], i + 1 < n ? args[i + 1] : Value::null());
  release_all(args);
}

void h_local(Interp& ctx) {
  // `local name value` of a plain name whose scope table exists (how a
  // subroutine makes a local): the name found or put in the table directly.
  if (ctx.frame_depth != 0 && ctx.frame_depth + 2 == stack_depth(ctx) && ctx.top[2].is_marker() &&
      is_text(ctx.top[0])) {
    Value* scope = scope_table(ctx, ctx.scope_depth, false);
    if (Value* cell = scope && array_of(*scope) ? table_get(*scope, ctx.top[0]) : nullptr) {
      close_frame(ctx);
      value_store(*cell, ctx.top[1]);
      pop_n(ctx, 2);
      ctx.vars_dirty = true;
      return;
    }
  }
  store_pairs(ctx, var_in_local);
}
void h_global(Interp& ctx) { store_pairs(ctx, var_in_global); }

void h_common(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  for (uint32_t i = 0; i < n; i += 2) {
    Value name = ctx.top[i];
    ElementEntry* e = element_entry(name);
    if (!e || e->type != kTypeString) continue;
    if (!(e->flags & kFlagGlobalValue)) {
      // A common name stays alive for the whole run.
      e->flags |= kFlagGlobalValue;
      e->flags &= ~(kFlagHasLabel | kFlagHasCommand);
      e->global = Value::null();
      names_rebound();  // the name now finds this cell
      if ((e->holds & kHoldMask) < kHoldMask) e->holds++;
    }
    value_store(e->global, arg(ctx, n, i + 1));
  }
  pop_n(ctx, n);
}

namespace {

// declare's loop for one to eight distinct names (texts, none of them in
// the current scope table yet) over the arguments k, k + 1 ...: the table's
// items are rewritten once, the integer items k ... leaving and their
// values (null for a missing one) going to the names, instead of an
// insertion and a removal per name. The table neither grows nor shrinks
// here, as it would not one name at a time, and no value is released (each
// moves from its integer item to its name), so no script code runs. False,
// with nothing changed, for anything else, which the loop does one by one.
bool declare_at_once(Interp& ctx, const Value* names, uint32_t m, int64_t k) {
  constexpr uint32_t kMaxNames = 8, kMaxItems = 32;
  if (m == 0 || m > kMaxNames || k < kIntMin || k > kIntMax - int64_t(kMaxNames)) return false;
  Value* scope = scope_table(ctx, ctx.scope_depth, false);
  ArrayRecord* a = scope ? array_of(*scope) : nullptr;
  // The same room checks as table_get's growth and array_refit's shrinking.
  if (!a || a->restore != 0 || a->count > kMaxItems || a->count + m + 2 >= a->slots || a->slots >= a->count + 22)
    return false;
  // The names in key order, each once.
  Value sorted[kMaxNames];
  uint32_t arg_of[kMaxNames];
  for (uint32_t j = 0; j < m; j++) {
    if (element_type_of(names[j]) != kTypeString) return false;
    uint32_t p = j;
    for (; p > 0 && int64_t(sorted[p - 1].bits) > int64_t(names[j].bits); p--) {
      sorted[p] = sorted[p - 1];
      arg_of[p] = arg_of[p - 1];
    }
    if (p > 0 && sorted[p - 1] == names[j]) return false;
    sorted[p] = names[j];
    arg_of[p] = j;
  }
  if (m == 1) {
    // One name (the usual case): the argument's item leaves and the name's
    // goes in, the items between them moving by one place. Integer keys
    // sort below names, so the argument's item lies before the name's place.
    bool found;
    uint32_t p = array_search(a, names[0], found);
    if (found) return false;  // already a local
    uint32_t r = array_search(a, Value::from_int(k), found);
    if (found && r < p) {
      Value v = a->items[r].value;
      std::memmove(&a->items[r], &a->items[r + 1], size_t(p - 1 - r) * sizeof(ArrayItem));
      a->items[p - 1] = {v, names[0]};
    } else if (!found) {
      std::memmove(&a->items[p + 1], &a->items[p], size_t(a->count - p) * sizeof(ArrayItem));
      a->items[p] = {Value::null(), names[0]};
      a->count++;
    } else {
      return false;
    }
    value_ref(names[0]);
    g_shape_generation++;
    return true;
  }
  Value values[kMaxNames];
  for (uint32_t j = 0; j < m; j++) values[j] = Value::null();
  ArrayItem old[kMaxItems];
  uint32_t count = a->count;
  auto taken = [&](Value key) { return key.is_int() && uint64_t(key.as_int() - k) < m; };
  for (uint32_t i = 0; i < count; i++) {
    old[i] = a->items[i];
    Value key = old[i].key;
    if (taken(key)) values[key.as_int() - k] = old[i].value;
    for (uint32_t j = 0; j < m; j++)
      if (key == sorted[j]) return false;  // already a local
  }
  // Merged in key order: the old items but the arguments taken, and the names.
  uint32_t out = 0, next = 0;
  for (uint32_t i = 0; i < count; i++) {
    for (; next < m && int64_t(sorted[next].bits) < int64_t(old[i].key.bits); next++)
      a->items[out++] = {values[arg_of[next]], sorted[next]};
    if (!taken(old[i].key)) a->items[out++] = old[i];
  }
  for (; next < m; next++) a->items[out++] = {values[arg_of[next]], sorted[next]};
  a->count = out;
  for (uint32_t j = 0; j < m; j++) value_ref(names[j]);
  g_shape_generation++;
  return true;
}

}  // namespace

void h_declare(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  // Taken off the stack first, their references with them; a subroutine
  // declares a few names, so they are kept without a heap block.
  Value few[8];
  std::vector<Value> many;
  Value* args = few;
  if (n > 8) {
    many.resize(n);
    args = many.data();
  }
  for (uint32_t i = 0; i < n; i++) args[i] = ctx.top[i];
  ctx.top += n;
  uint32_t first = 0;
  int64_t k = 1;
  if (n > 0 && (args[0].is_int() || args[0].is_float())) {
    k = value_to_integer(&ctx, args[0]);
    first = 1;
  }
  if (declare_at_once(ctx, args + first, n - first, k)) {
    for (uint32_t i = 0; i < n; i++) value_release(args[i]);
    ctx.vars_dirty = true;
    return;
  }
  for (uint32_t i = first; i < n; i++, k++) {
    Value v = Value::null();
    if (Value* src = local_int(ctx, k)) {
      v = *src;
      value_ref(v);
    }
    if (Value* cell = var_in_local(ctx, args[i])) value_store(*cell, v);
    value_release(v);
    if (Value* scope = scope_table(ctx, ctx.scope_depth, false)) table_remove(&ctx, *scope, Value::from_int(k));
  }
  for (uint32_t i = 0; i < n; i++) value_release(args[i]);
  ctx.vars_dirty = true;
}

void h_at(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n == 1) {  // the common case: replace the name in place
    Value v = var_value(ctx, ctx.top[0]);
    if (!array_of(v) && element_type_of(v) != kTypeTimer) {
      set_arg_owned(ctx, 0, v);
      return;
    }
    pop(ctx);
    push_expanded(ctx, v, false, 0);
    value_release(v);
    return;
  }
  std::vector<Value> args = take_args(ctx, n);
  for (size_t i = args.size(); i-- > 0;) {
    Value v = var_value(ctx, args[i]);
    push_expanded(ctx, v, false, 0);
    value_release(v);
  }
  release_all(args);
}

void h_arrayindex(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::vector<Value> args = take_args(ctx, n);
  for (size_t i = args.size(); i-- > 0;) {
    Value v = var_value(ctx, args[i]);
    push_expanded(ctx, v, array_of(v) != nullptr, 0);
    value_release(v);
  }
  release_all(args);
}

void h_free(Interp& ctx) { free_variables(ctx, -1); }
void h_varfree(Interp& ctx) { free_variables(ctx, 0); }
void h_vargroupfree(Interp& ctx) { free_variables(ctx, 0); }
void h_animfree(Interp& ctx) { free_variables(ctx, 0); }
void h_fontfree(Interp& ctx) { free_variables(ctx, kTypeFont); }

void h_vardef(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  bool all = true;
  for (uint32_t i = 0; i < n && all; i++) all = var_find(ctx, ctx.top[i]) != nullptr;
  discard_args_push_zero(ctx, n);
  ctx.top[0] = Value::from_int(all ? 1 : 0);
}

void h_varenvdef(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  bool all = true;
  for (uint32_t i = 0; i < n && all; i++) {
    Value t = value_to_text(&ctx, ctx.top[i]);
    std::string name(element_text(t));
    value_release(t);
    all = env_lookup(name) != nullptr;
  }
  discard_args_push_zero(ctx, n);
  ctx.top[0] = Value::from_int(all ? 1 : 0);
}

void h_varmatch(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::vector<Value> args = take_args(ctx, n);
  std::vector<Value> names = expand_wildcards(ctx, args, -1);
  for (size_t i = names.size(); i-- > 0;) push(ctx, names[i]);
  release_all(names);
  release_all(args);
}

namespace {
void make_array(Interp& ctx, bool labelled) {
  uint32_t n = close_frame(ctx);
  Value cell = Value::from_handle(array_new());
  uint32_t i = 0;
  if (labelled && n > 0) {
    if (ArrayRecord* a = array_of(cell)) value_store(a->label, ctx.top[0]);
    i = 1;
  }
  for (; i < n; i++) array_append(cell, ctx.top[i]);
  pop_n(ctx, n);
  // An empty array is still an array: it disappears only when emptied.
  push_owned(ctx, cell);
}
}  // namespace

void h_array(Interp& ctx) { make_array(ctx, false); }
void h_arraylabel(Interp& ctx) { make_array(ctx, true); }

void h_arrayref(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t k = n > 0 ? n - 1 : 0;
  uint32_t h = element_create(nullptr, sizeof(ArrayPathRecord) + size_t(k) * sizeof(Value), kTypeArrayPath);
  if (auto* p = static_cast<ArrayPathRecord*>(element_lookup(h, kTypeArrayPath))) {
    p->base = arg(ctx, n, 0);
    value_ref(p->base);
    for (uint32_t i = 0; i < k; i++) {
      p->index[i] = ctx.top[i + 1];
      value_ref(p->index[i]);
    }
    p->count = k;
  }
  pop_n(ctx, n);
  push_owned(ctx, Value::from_handle(h));
}

void h_arrayremove(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::vector<Value> args = take_args(ctx, n);
  if (!args.empty()) {
    if (Value* cell = var_find(ctx, args[0])) {
      if (args.size() == 1) {
        // All items go; a variable that holds no array has none to remove.
        if (array_of(*cell)) {
          Value old = *cell;
          *cell = Value::null();
          value_release(old);
        }
      } else {
        for (size_t i = 1; i < args.size(); i++) {
          cell = var_find(ctx, args[0]);
          if (cell) table_remove(&ctx, *cell, args[i]);
        }
      }
      ctx.vars_dirty = true;
    }
  }
  release_all(args);
}

void h_withpush(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::vector<Value> args = take_args(ctx, n);
  Value record = Value::from_handle(array_new());
  if (ArrayRecord* a = array_of(record)) {
    a->restore = 1;
    a->owner = &ctx;
  }
  for (Value name : args) {
    Value current = Value::null();
    ElementEntry* e = element_entry(name);
    if (e && e->type == kTypeString && (e->flags & kFlagHasCommand) && e->handler) {
      // The first result of the command called with no argument.
      uint32_t depth = stack_depth(ctx);
      CommandHandler h = e->handler;
      open_frame(ctx);
      h(ctx);
      if (stack_depth(ctx) > depth) {
        current = ctx.stack_base[-int64_t(depth) - 1];
        value_ref(current);
      }
      while (stack_depth(ctx) > depth && ctx.stop == 0) pop(ctx);
    } else if (Value* cell = var_find(ctx, name)) {
      current = *cell;
      value_ref(current);
    }
    if (Value* item = table_get(record, name)) value_store(*item, current);
    value_release(current);
  }
  if (Value* with = var_in_local(ctx, Value::from_handle(g_own_names.with))) array_append(*with, record);
  value_release(record);
  release_all(args);
}

void h_withpop(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t count = n > 0 ? value_to_integer(&ctx, ctx.top[0]) : 1;
  pop_n(ctx, n);
  for (int64_t i = 0; i < count; i++) {
    Value* scope = scope_table(ctx, ctx.scope_depth, false);
    Value* with = scope ? table_find(*scope, Value::from_handle(g_own_names.with)) : nullptr;
    ArrayRecord* a = with ? array_of(*with) : nullptr;
    if (!a || a->count == 0) break;
    table_remove(&ctx, *with, a->items[a->count - 1].key);
  }
}

}  // namespace vm
