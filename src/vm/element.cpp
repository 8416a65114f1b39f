#include "vm/element.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <vector>

#include "vm/check.h"
#include "vm/heap.h"
#include "vm/variables.h"

namespace vm {

ElementTable g_elements;

// Highest index the table hands out: a value holds 24 bits of index, and so
// do the name operands of token words, so an index above this would alias
// a lower one. Creation fails (the null handle) when no index is left.
// Tests lower it to reach the limit without 16 million elements.
uint32_t g_element_index_limit = kIndexMask;

namespace {

ElementCleanup g_cleanup[kElementTypeCount] = {};

// Growable arrays keep a headroom of more than 256 slots and never shrink
// below 1024: grow by 1024 while n + 256 >= c, shrink by 1024 while
// c >= n + 1792.
uint32_t refit_capacity(uint32_t n, uint32_t c) {
  while (uint64_t(n) + 256 >= c) c += 1024;
  while (c >= uint64_t(n) + 1792 && c > 1024) c -= 1024;
  return c < 1024 ? 1024 : c;
}

template <typename T>
bool refit_array(T*& data, uint32_t& capacity, uint32_t in_use) {
  uint32_t want = refit_capacity(in_use, capacity);
  if (want == capacity && data) return true;
  void* p = heap_resize(data, size_t(want) * sizeof(T));
  if (!p) return false;
  data = static_cast<T*>(p);
  capacity = want;
  return true;
}

// Whether refit_capacity leaves a capacity as it is: the common case,
// checked before the call.
inline bool fits(uint32_t n, uint32_t c) {
  return c >= 1024 && uint64_t(n) + 256 < c && (c < uint64_t(n) + 1792 || c == 1024);
}

// Moving the entries moves every common variable's cell (ElementEntry::global):
// cells cached elsewhere are found again.
bool refit_entries() {
  if (g_elements.entries && fits(g_elements.length, g_elements.capacity)) return true;
  const ElementEntry* before = g_elements.entries;
  bool ok = refit_array(g_elements.entries, g_elements.capacity, g_elements.length);
  if (g_elements.entries != before) g_shape_generation++;
  return ok;
}

// The buckets' first storage: the 1024 slots each that the growth rule
// starts with, all in one block whose pages are made present at once.
// Interning the built-in names writes into every bucket at start-up, and
// each bucket's page would otherwise cost a page fault of its own: 256 of
// them, at about 10 us each on a virtual machine. A bucket that outgrows
// its place moves to a block of its own.
constexpr uint32_t kFirstBucketSlots = 1024;
constexpr uint32_t kBucketCount = sizeof(ElementTable::buckets) / sizeof(InternBucket);
uint32_t* g_bucket_slab = nullptr;

bool in_slab(const uint32_t* p) {
  return g_bucket_slab && p >= g_bucket_slab && p < g_bucket_slab + size_t(kBucketCount) * kFirstBucketSlots;
}

// refit_array for a bucket's indices, which may stand in the first block.
void refit_indices(InternBucket& b, uint32_t in_use) {
  if (!b.indices) {
    if (!g_bucket_slab)
      g_bucket_slab = static_cast<uint32_t*>(heap_alloc_present(size_t(kBucketCount) * kFirstBucketSlots * sizeof(uint32_t)));
    if (g_bucket_slab) {
      b.indices = g_bucket_slab + (&b - g_elements.buckets) * kFirstBucketSlots;
      b.capacity = kFirstBucketSlots;
    }
  }
  if (!in_slab(b.indices)) {
    refit_array(b.indices, b.capacity, in_use);
    return;
  }
  uint32_t want = refit_capacity(in_use, b.capacity);
  if (want == b.capacity) return;
  auto* p = static_cast<uint32_t*>(heap_alloc(size_t(want) * sizeof(uint32_t)));
  if (!p) return;
  std::memcpy(p, b.indices, size_t(std::min(want, b.capacity)) * sizeof(uint32_t));
  b.indices = p;
  b.capacity = want;
}

void refit_bucket(InternBucket& b) {
  if (b.indices && b.count != 0 && fits(b.count, b.capacity)) return;
  uint32_t in_use = b.count == 0 ? 1 : b.count;
  refit_indices(b, in_use);
  if (b.count == 0) b.count = 1;  // position 0 is never used
}

uint8_t rotl2(uint8_t v) { return uint8_t((v << 2) | (v >> 6)); }
uint8_t rotr2(uint8_t v) { return uint8_t((v >> 2) | (v << 6)); }
uint8_t swap_nibbles(uint8_t v) { return uint8_t((v << 4) | (v >> 4)); }

uint8_t bucket_of(const uint8_t* d, uint32_t n) {
  if (n == 0 || !d) return 0;
  return uint8_t(swap_nibbles(d[n - 1]) ^ rotl2(d[n / 2]) ^ rotr2(uint8_t(n % 256)) ^ d[0]);
}

// Order within a bucket: type, then size, then bytes.
int compare_key(const ElementEntry& e, const uint8_t* bytes, uint32_t size, uint32_t type) {
  if (e.type != type) return e.type < type ? -1 : 1;
  if (uint32_t(e.size) != size) return uint32_t(e.size) < size ? -1 : 1;
  return std::memcmp(e.payload, bytes, size);
}

// Binary search of a bucket; returns the position found (found = true) or
// the position at which the key belongs.
uint32_t bucket_search(const InternBucket& b, const uint8_t* bytes, uint32_t size, uint32_t type,
                       bool& found) {
  uint32_t lo = 1, hi = b.count;  // [lo, hi)
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    int c = compare_key(g_elements.entries[b.indices[mid]], bytes, size, type);
    if (c == 0) {
      found = true;
      return mid;
    }
    if (c < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  found = false;
  return lo;
}

void free_list_unlink(uint32_t index) {
  ElementEntry& e = g_elements.entries[index];
  uint32_t next = uint32_t(e.size), prev = e.type;
  if (prev)
    g_elements.entries[prev].size = int32_t(next);
  else if (g_elements.free_head == index)
    g_elements.free_head = next;
  if (next) g_elements.entries[next].type = prev;
}

// Takes a slot under the creation lock: the head of the free list, or a new
// index past `length`. The table keeps headroom, so the slot exists.
uint32_t take_slot() {
  if (!g_elements.entries && !refit_entries()) return 0;
  g_elements.live++;
  uint32_t index = g_elements.free_head;
  if (index) {
    ElementEntry& e = g_elements.entries[index];
    g_elements.free_head = uint32_t(e.size);
    if (g_elements.free_head) g_elements.entries[g_elements.free_head].type = 0;
    e = ElementEntry{};
    return index;
  }
  if (g_elements.length >= g_element_index_limit ||
      (g_elements.length + 1 >= g_elements.capacity && !refit_entries())) {
    g_elements.live--;
    return 0;
  }
  index = ++g_elements.length;
  g_elements.entries[index] = ElementEntry{};
  return index;
}

void bucket_remove(uint32_t index) {
  ElementEntry& e = g_elements.entries[index];
  InternBucket& b = g_elements.buckets[e.bucket];
  uint32_t pos = e.bucket_pos;
  if (pos == 0 || pos >= b.count || b.indices[pos] != index) return;
  for (uint32_t i = pos; i + 1 < b.count; i++) {
    b.indices[i] = b.indices[i + 1];
    g_elements.entries[b.indices[i]].bucket_pos = i;
  }
  b.count--;
  e.bucket_pos = 0;
  refit_bucket(b);
}

uint16_t raise_hold(uint16_t holds) {
  // Note: the count saturates instead of wrapping to 0, which would let a
  // name that is still in use be freed by reference counting.
  uint16_t count = holds & kHoldMask;
  if (count < kHoldMask) count++;
  return uint16_t((holds & ~kHoldMask) | count);
}

// Finds or inserts an interned entry. `owned` says whether a new entry
// copies the bytes (true) or points at them (static names).
uint32_t intern_locked(const uint8_t* bytes, uint32_t size, uint32_t type, bool owned) {
  uint8_t bn = bucket_of(bytes, size);
  InternBucket& b = g_elements.buckets[bn];
  if (!b.indices) refit_bucket(b);
  if (!b.indices) return kHandleBase;
  bool found = false;
  uint32_t pos = bucket_search(b, bytes, size, type, found);
  if (found) {
    uint32_t index = b.indices[pos];
    g_elements.entries[index].refs++;
    return kHandleBase + index;
  }
  uint32_t index;
  {
    std::lock_guard<base::SpinLock> lock(g_elements.create_lock);
    index = take_slot();
    if (!index) return kHandleBase;
    ElementEntry& e = g_elements.entries[index];
    if (owned) {
      void* p = heap_alloc_uninit(size_t(size) + 1);
      if (!p) {
        // Give the slot back: it is the highest or the head of the free list.
        g_elements.live--;
        e = ElementEntry{};
        if (index == g_elements.length) {
          g_elements.length--;
        } else {
          e.size = int32_t(g_elements.free_head);
          if (g_elements.free_head) g_elements.entries[g_elements.free_head].type = index;
          g_elements.free_head = index;
        }
        return kHandleBase;
      }
      if (size) std::memcpy(p, bytes, size);
      static_cast<uint8_t*>(p)[size] = 0;
      e.payload = p;
    } else {
      e.payload = const_cast<uint8_t*>(bytes);
      e.origin = kOriginStaticBytes;
    }
    e.size = int32_t(size);
    e.type = type;
    e.refs = 1;
    e.bucket = bn;
    refit_entries();
  }
  // Insert at `pos`, shifting later indices up.
  if (b.count + 1 >= b.capacity) refit_indices(b, b.count + 1);
  for (uint32_t i = b.count; i > pos; i--) {
    b.indices[i] = b.indices[i - 1];
    g_elements.entries[b.indices[i]].bucket_pos = i;
  }
  b.indices[pos] = index;
  b.count++;
  g_elements.entries[index].bucket_pos = pos;
  refit_bucket(b);
  return kHandleBase + index;
}

}  // namespace

void element_set_cleanup(uint32_t type, ElementCleanup fn) {
  if (type < kElementTypeCount) g_cleanup[type] = fn;
}

uint32_t element_create(const void* bytes, size_t size, uint32_t type) {
  if (size > 0x7ffffff0u) return kHandleBase;
  std::lock_guard<base::SpinLock> lock(g_elements.create_lock);
  void* p = heap_alloc(size + 4);
  if (!p) return kHandleBase;
  uint32_t index = take_slot();
  if (!index) {
    heap_free(p);
    return kHandleBase;
  }
  if (bytes && size) std::memcpy(p, bytes, size);
  ElementEntry& e = g_elements.entries[index];
  e.payload = p;
  e.size = int32_t(size);
  e.type = type;
  e.refs = 1;
  e.flags = kFlagUnique;
  refit_entries();
  return kHandleBase + index;
}

uint32_t element_intern(const void* bytes, int64_t size, uint32_t type) {
  if (!bytes) return kHandleBase;
  if (size < 0) size = 0;
  if (size > 0x7ffffff0) return kHandleBase;
  std::lock_guard<base::SpinLock> lock(g_elements.index_lock);
  return intern_locked(static_cast<const uint8_t*>(bytes), uint32_t(size), type, true);
}

uint32_t name_intern(const void* bytes, int64_t size) {
  uint32_t h = element_intern(bytes, size, kTypeString);
  if (ElementEntry* e = element_entry(h)) {
    if (!(e->origin & (kOriginIsName | kOriginStaticBytes))) e->origin |= kOriginIsName;
    e->holds = raise_hold(e->holds);
  }
  return h;
}

uint32_t static_name_intern(const char* bytes, int64_t size) {
  if (!bytes) return kHandleBase;
  if (size < 0) size = 0;
  std::lock_guard<base::SpinLock> lock(g_elements.index_lock);
  uint32_t h = intern_locked(reinterpret_cast<const uint8_t*>(bytes), uint32_t(size), kTypeString,
                             false);
  if (ElementEntry* e = element_entry(h)) {
    if (!(e->origin & kOriginStaticBytes)) {
      heap_free(e->payload);
      e->payload = const_cast<char*>(bytes);
      e->origin |= kOriginStaticBytes;
    }
    e->holds = raise_hold(e->holds);
  }
  return h;
}

void* element_resize(uint32_t handle, size_t size) {
  ElementEntry* e = element_entry(handle);
  if (!e || (e->origin & kOriginStaticBytes) || size > 0x7ffffff0u) return nullptr;
  void* p = heap_resize(e->payload, size);
  if (!p) return nullptr;
  e = element_entry(handle);
  e->payload = p;
  e->size = int32_t(size);
  return p;
}

std::string_view element_text(Value v) {
  ElementEntry* e = element_entry(v);
  if (!e || e->type != kTypeString) return {};
  return std::string_view(static_cast<const char*>(e->payload), size_t(e->size));
}

namespace {

// The frees queued while a clean-up runs on this thread, the elements whose
// clean-up has run and whose slots wait to be released, and whether an
// element_free is running.
thread_local std::vector<uint32_t> t_pending_frees;
thread_local std::vector<uint32_t> t_cleaned;
thread_local bool t_freeing = false;

void release_slot(uint32_t handle);

// Runs the clean-up of an element's type; the slot of an element without
// one is released at once (nothing can reach back to it, and a text must
// leave the interning index before anyone interns it again).
void run_cleanup(uint32_t handle) {
  ElementEntry* e = &g_elements.entries[handle - kHandleBase];
  e->flags |= kFlagReleasing;
  uint32_t type = e->type;
  if (type < kElementTypeCount && g_cleanup[type]) {
    g_cleanup[type](handle, e->payload);
    t_cleaned.push_back(handle);
  } else {
    release_slot(handle);
  }
}

void release_slot(uint32_t handle) {
  uint32_t index = handle - kHandleBase;
  std::lock_guard<base::SpinLock> lock(g_elements.release_lock);
  // Only a slot in use, with bytes of its own, is released, and only once.
  QASSERT(index >= 1 && index <= g_elements.length && g_elements.live > 0);
  ElementEntry* e = &g_elements.entries[index];
  QASSERT(e->payload && !(e->origin & kOriginStaticBytes));
  if (e->flags & kFlagGlobalValue) {
    Value v = e->global;
    e->global = Value::null();
    g_shape_generation++;  // the common variable's cell goes
    value_release(v);
    e = &g_elements.entries[index];
  }
  heap_free(e->payload);
  g_elements.live--;
  if (e->bucket_pos > 0) {
    std::lock_guard<base::SpinLock> ilock(g_elements.index_lock);
    bucket_remove(index);
  }
  *e = ElementEntry{};
  e->size = int32_t(g_elements.free_head);
  if (g_elements.free_head) g_elements.entries[g_elements.free_head].type = index;
  g_elements.free_head = index;

  // Trim trailing free slots.
  while (g_elements.length > 0) {
    ElementEntry& last = g_elements.entries[g_elements.length];
    if (last.payload || last.refs != 0 || (last.holds & kHoldMask) != 0) break;
    free_list_unlink(g_elements.length);
    last = ElementEntry{};
    g_elements.length--;
  }
  refit_entries();
}

}  // namespace

// Frees that a clean-up causes in turn (an array releasing items that are
// arrays ...) are queued and their clean-ups run one after another by the
// outermost call, so that a deeply nested structure never recurses through
// the C stack; a queued element that gained a reference again meanwhile is
// left alone. The slots (and records) are released only when every queued
// clean-up has run, so a clean-up that reaches back to its owner (a
// with-record to its context) still finds the owner's record.
void element_free(uint32_t handle) {
  uint32_t index = handle - kHandleBase;
  if ((handle >> 30) != 1 || index == 0 || index > g_elements.length) return;
  ElementEntry* e = &g_elements.entries[index];
  if (!e->payload || (e->origin & kOriginStaticBytes) || (e->flags & kFlagReleasing)) return;
  if (t_freeing) {
    if (!(e->flags & kFlagFreePending)) {
      e->flags |= kFlagFreePending;
      t_pending_frees.push_back(handle);
    }
    return;
  }
  // The outermost call starts with nothing queued: the last one drained both lists.
  QASSERT(t_pending_frees.empty() && t_cleaned.empty());
  t_freeing = true;
  run_cleanup(handle);
  while (!t_pending_frees.empty()) {
    uint32_t next = t_pending_frees.back();
    t_pending_frees.pop_back();
    ElementEntry* p = element_entry(next);
    if (!p) continue;
    p->flags &= ~kFlagFreePending;
    if (p->refs < 1 && (p->holds & kHoldMask) == 0 && !(p->flags & kFlagReleasing) &&
        !(p->origin & kOriginStaticBytes))
      run_cleanup(next);
  }
  for (uint32_t cleaned : t_cleaned) release_slot(cleaned);
  t_cleaned.clear();
  t_freeing = false;
}

const char* element_type_name(uint32_t type) {
  static constexpr std::array<const char*, kElementTypeCount> names = [] {
    std::array<const char*, kElementTypeCount> n{};
    for (const char*& name : n) name = "INVALID";
#define X(num, id, name) n[num] = name;
    QUILLON_ELEMENT_TYPES(X)
#undef X
    return n;
  }();
  return type < kElementTypeCount ? names[type] : "INVALID";
}

void element_free_all() {
  for (uint32_t i = g_elements.length; i >= 1; i--) {
    if (i > g_elements.length) continue;
    ElementEntry& e = g_elements.entries[i];
    if (!e.payload) continue;
    if (e.origin & kOriginStaticBytes) {
      // Constant bytes are not ours to free: just empty the slot.
      if (e.bucket_pos > 0) bucket_remove(i);
      e = ElementEntry{};
      g_elements.live--;
      continue;
    }
    e.holds = 0;
    element_free(kHandleBase + i);
  }
  // Back to an empty table.
  for (InternBucket& b : g_elements.buckets) {
    if (!in_slab(b.indices)) heap_free(b.indices);
    b = InternBucket{};
  }
  heap_free(g_bucket_slab);
  g_bucket_slab = nullptr;
  heap_free(g_elements.entries);
  g_elements.entries = nullptr;
  g_elements.capacity = g_elements.length = g_elements.live = g_elements.free_head = 0;
}

}  // namespace vm
