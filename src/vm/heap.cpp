#include "vm/heap.h"

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

}  // namespace

void* heap_alloc(size_t size) {
  auto* h = static_cast<BlockHeader*>(std::calloc(1, sizeof(BlockHeader) + size));
  if (!h) return nullptr;
  h->self = h + 1;
  h->size = int64_t(size);
  account(int64_t(size));
  return h + 1;
}

void* heap_resize(void* block, size_t size) {
  if (!block) return heap_alloc(size);
  BlockHeader* h = header_of(block);
  if (!header_valid(h, block)) return nullptr;
  int64_t old = h->size;
  auto* n = static_cast<BlockHeader*>(std::realloc(h, sizeof(BlockHeader) + size));
  if (!n) return nullptr;
  if (int64_t(size) > old) std::memset(reinterpret_cast<char*>(n + 1) + old, 0, size - size_t(old));
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
  std::free(h);
}

size_t heap_block_size(const void* block) {
  if (!block) return 0;
  const BlockHeader* h = header_of(block);
  return header_valid(h, block) ? size_t(h->size) : 0;
}

int64_t heap_bytes_in_use() { return g_in_use.load(); }
int64_t heap_peak_bytes() { return g_peak.load(); }

}  // namespace vm
