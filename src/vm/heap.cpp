#include "vm/heap.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vm {
namespace {

// 16 bytes keep the data aligned for doubles and pointers on 64-bit hosts.
struct alignas(16) BlockHeader {
  void* self;    // points at the data that follows this header
  int64_t size;  // bytes of data; -1 once the block has been freed
};
static_assert(sizeof(BlockHeader) == 16);

std::atomic<int64_t> g_in_use{0};
std::atomic<int64_t> g_peak{0};

BlockHeader* header_of(const void* block) {
  return reinterpret_cast<BlockHeader*>(const_cast<char*>(static_cast<const char*>(block)) -
                                        sizeof(BlockHeader));
}

bool header_valid(const BlockHeader* h, const void* block) {
  return h->self == block && h->size >= 0;
}

void account(int64_t delta) {
  int64_t now = g_in_use.fetch_add(delta) + delta;
  int64_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}

// Fills in the header of a block just taken from the C heap.
void* adopt(BlockHeader* h, size_t size) {
  if (!h) return nullptr;
  h->self = h + 1;
  h->size = int64_t(size);
  account(int64_t(size));
  return h + 1;
}

// Freed blocks of 1 to 64 KiB, kept per thread for the next request they
// fit. A script that builds a text piece by piece makes and drops a text a
// little longer each time, and the C heap's own per-thread cache stops at
// about 1 KiB: past that every block would go through its bins. Blocks of
// that range are taken in steps of 256 bytes, so that a dropped one fits
// the next few requests; a kept block goes to a request of at least half
// its room, so little is wasted. When all four places are taken, a larger
// block takes the place of the smallest.
constexpr size_t kKeptMin = 1024, kKeptMax = 64 * 1024, kKeptStep = 256;
constexpr int kKeptCount = 4;
struct KeptBlocks {
  BlockHeader* block[kKeptCount];
  size_t room[kKeptCount];  // the usable bytes of each block (header included)
  bool closed;              // the thread is ending: nothing more is kept
};
thread_local constinit KeptBlocks t_kept = {};

// Gives the kept blocks back when their thread ends; made on the thread's
// first kept block.
struct KeptBlocksDrain {
  KeptBlocksDrain() = default;
  KeptBlocksDrain(const KeptBlocksDrain&) = delete;
  KeptBlocksDrain& operator=(const KeptBlocksDrain&) = delete;
  ~KeptBlocksDrain() {
    t_kept.closed = true;
    for (BlockHeader*& b : t_kept.block) {
      std::free(b);
      b = nullptr;
    }
  }
};
thread_local KeptBlocksDrain t_drain;

bool keeps(size_t bytes) { return bytes >= kKeptMin && bytes <= kKeptMax; }

// The bytes to ask the C heap for, for a block of `bytes` (header included).
size_t stepped(size_t bytes) { return keeps(bytes) ? (bytes + kKeptStep - 1) / kKeptStep * kKeptStep : bytes; }

BlockHeader* take_kept(size_t bytes) {
  if (!keeps(bytes)) return nullptr;
  for (int i = 0; i < kKeptCount; i++) {
    if (BlockHeader* b = t_kept.block[i]; b && t_kept.room[i] >= bytes && t_kept.room[i] / 2 <= bytes) {
      t_kept.block[i] = nullptr;
      return b;
    }
  }
  return nullptr;
}

// Keeps a freed block, or says to give it back to the C heap.
bool keep(BlockHeader* h) {
  size_t room = malloc_usable_size(h);
  if (!keeps(room) || t_kept.closed) return false;
  [[maybe_unused]] KeptBlocksDrain* drain = &t_drain;
  int smallest = 0;
  for (int i = 0; i < kKeptCount; i++) {
    if (!t_kept.block[i]) {
      smallest = i;
      break;
    }
    if (t_kept.room[i] < t_kept.room[smallest]) smallest = i;
  }
  if (BlockHeader* old = t_kept.block[smallest]) {
    if (t_kept.room[smallest] >= room) return false;
    std::free(old);
  }
  t_kept.block[smallest] = h;
  t_kept.room[smallest] = room;
  return true;
}

// Makes the whole pages of [p, p + size) present in one step instead of a
// page fault each at first touch (about 10 us each on a virtual machine).
// An older kernel says no, and the pages come one fault at a time.
void make_present(void* p, size_t size) {
#ifndef MADV_POPULATE_WRITE
  constexpr int MADV_POPULATE_WRITE = 23;  // Linux 5.14
#endif
  const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
  if (page == 0) return;
  const uintptr_t from = (uintptr_t(p) + page - 1) / page * page, to = (uintptr_t(p) + size) / page * page;
  if (from < to) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
}

}  // namespace

void* heap_alloc(size_t size) {
  size_t bytes = sizeof(BlockHeader) + size;
  if (BlockHeader* h = take_kept(bytes)) {
    std::memset(h + 1, 0, size);
    return adopt(h, size);
  }
  return adopt(static_cast<BlockHeader*>(std::calloc(1, stepped(bytes))), size);
}

void* heap_alloc_uninit(size_t size) {
  size_t bytes = sizeof(BlockHeader) + size;
  BlockHeader* h = take_kept(bytes);
  return adopt(h ? h : static_cast<BlockHeader*>(std::malloc(stepped(bytes))), size);
}

void* heap_alloc_present(size_t size) {
  void* p = heap_alloc(size);
  if (p) make_present(p, size);
  return p;
}

void* heap_resize(void* block, size_t size) {
  if (!block) return heap_alloc(size);
  BlockHeader* h = header_of(block);
  if (!header_valid(h, block)) return nullptr;
  int64_t old = h->size;
  auto* n = static_cast<BlockHeader*>(std::realloc(h, sizeof(BlockHeader) + size));
  if (!n) return nullptr;
  if (int64_t(size) > old) {
    char* grown = reinterpret_cast<char*>(n + 1) + old;
    // The grown part is written all over at once: a large one is made
    // present first.
    if (size - size_t(old) >= 64 * 1024) make_present(grown, size - size_t(old));
    std::memset(grown, 0, size - size_t(old));
  }
  n->self = n + 1;
  n->size = int64_t(size);
  account(int64_t(size) - old);
  return n + 1;
}

void heap_free(void* block) {
  if (!block) return;
  BlockHeader* h = header_of(block);
  if (!header_valid(h, block)) return;
  account(-h->size);
  h->size = -1;
  h->self = nullptr;
  if (!keep(h)) std::free(h);
}

size_t heap_block_size(const void* block) {
  if (!block) return 0;
  const BlockHeader* h = header_of(block);
  return header_valid(h, block) ? size_t(h->size) : 0;
}

int64_t heap_bytes_in_use() { return g_in_use.load(); }
int64_t heap_peak_bytes() { return g_peak.load(); }

}  // namespace vm
