#include "storage/membuf.h"

#include <cstring>
#include <map>
#include <mutex>

#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/queries.h"
#include "vm/variables.h"

namespace storage {
namespace {

// --- the live blocks that raw addresses may reach -----------------------------------

struct Block {
  int64_t size;
  uint32_t owner;
  uint32_t owner_type;
};

std::mutex g_blocks_lock;

std::map<uintptr_t, Block>& blocks() {
  static std::map<uintptr_t, Block> map;
  return map;
}

OwnedBlock g_owned[vm::kElementTypeCount] = {};

// A block is handed out only while its owner is live, of the type that
// entered it, and still holds exactly these bytes.
bool owner_holds(const Block& b, uintptr_t start) {
  vm::ElementEntry* e = vm::element_entry(b.owner);
  if (!e || e->type != b.owner_type || b.owner_type >= vm::kElementTypeCount || !g_owned[b.owner_type]) return false;
  const uint8_t* data = nullptr;
  int64_t size = 0;
  g_owned[b.owner_type](e->payload, data, size);
  return reinterpret_cast<uintptr_t>(data) == start && size == b.size;
}

// --- the record ---------------------------------------------------------------------

void membuf_cleanup(uint32_t, void* payload) {
  auto* m = static_cast<MemBuf*>(payload);
  uint32_t block = m->block;
  script_memory_remove(m->data);
  m->block = 0;
  m->data = nullptr;
  m->size = 0;
  vm::element_release(block);
}

int32_t element_count_of(const MemBuf* m) {
  int64_t row = 1;
  for (int32_t i = 1; i < m->dim_count; i++) row *= m->dims[i];
  int64_t n = row > 0 ? m->size / row : m->size;
  return n < 1 ? 1 : int32_t(n);
}

void recount(MemBuf* m) {
  m->element_count = element_count_of(m);
  if (m->dim_count >= 1) m->dims[0] = m->element_count;
}

// --- what the interpreter and the queries ask of buffers ---------------------------

bool read_field(vm::Interp&, vm::EleField field, vm::Value element, int64_t& out) {
  const MemBuf* m = membuf_of(element);
  if (!m) return false;
  switch (field) {
    case vm::EleField::Adr:
      out = m->data ? address_of(m->data) : 0;
      return true;
    case vm::EleField::Len:
      out = m->size;
      return true;
    case vm::EleField::Dim1:
    case vm::EleField::Dim2:
    case vm::EleField::Dim3:
    case vm::EleField::Dim4: {
      // Note: a dimension the buffer was not given reads as 1, so that the
      // product of dim1..dim4 is always the size.
      int32_t i = int32_t(field) - int32_t(vm::EleField::Dim1);
      out = i < m->dim_count ? m->dims[i] : 1;
      return true;
    }
    default:
      return false;
  }
}

// Note: `set` of a variable holding a buffer stores the value's text in the
// buffer, except when the value is itself a buffer: then the variable is
// simply given that buffer, so buffers can still be passed around.
bool store_into_buffer(vm::Interp& ctx, vm::Value buffer, vm::Value v) {
  MemBuf* m = membuf_of(buffer);
  if (!m || vm::element_type_of(v) == vm::kTypeMemBuf) return false;
  vm::Value t = vm::value_to_text(&ctx, v);
  membuf_store_text(membuf_of(buffer), vm::element_text(t));
  vm::value_release(t);
  return true;
}

void buffer_bytes(const void* payload, const uint8_t*& data, int64_t& size) {
  const auto* m = static_cast<const MemBuf*>(payload);
  data = m->data;
  size = m->size;
}

int64_t extent_hook(vm::Interp& ctx, int64_t address, uint8_t** out) {
  return script_memory_extent(ctx, address, out);
}

}  // namespace

uint32_t membuf_new(const int32_t* dims, int32_t dim_count) {
  if (dim_count < 1 || !dims) return 0;
  int64_t size = 1;
  for (int32_t i = 0; i < dim_count; i++) {
    size *= dims[i] < 1 ? 1 : dims[i];
    if (size >= kMemBufLimit) return 0;
  }
  uint32_t h = vm::element_create(nullptr, sizeof(MemBuf) + size_t(dim_count) * sizeof(int32_t),
                                  vm::kTypeMemBuf);
  MemBuf* m = membuf_of(vm::Value::from_handle(h));
  if (!m) return 0;
  m->self = h;
  m->dim_count = dim_count;
  for (int32_t i = 0; i < dim_count; i++) m->dims[i] = dims[i] < 1 ? 1 : dims[i];
  if (!membuf_resize(h, size)) {
    vm::element_release(h);
    return 0;
  }
  return h;
}

bool membuf_resize(uint32_t handle, int64_t size) {
  MemBuf* m = membuf_of(vm::Value::from_handle(handle));
  if (!m || size < 0 || size >= kMemBufLimit) return false;
  if (size == m->size && m->data) return true;
  script_memory_remove(m->data);
  if (size == 0) {
    uint32_t block = m->block;
    m->block = 0;
    m->data = nullptr;
    m->size = 0;
    recount(m);
    vm::element_release(block);
    return true;
  }
  void* bytes = nullptr;
  if (vm::element_entry(m->block)) {
    bytes = vm::element_resize(m->block, size_t(size));
  } else {
    uint32_t block = vm::element_create(nullptr, size_t(size), vm::kTypeMemData);
    bytes = vm::element_lookup(block, vm::kTypeMemData);
    if (bytes) m->block = block;
  }
  m = membuf_of(vm::Value::from_handle(handle));
  if (bytes) {
    m->data = static_cast<uint8_t*>(bytes);
    m->size = int32_t(size);
    recount(m);
  }
  if (m->data) script_memory_add(handle, m->data, m->size);
  return bytes != nullptr;
}

void membuf_store_text(MemBuf* m, std::string_view text) {
  if (!m || !m->data) return;
  size_t room = size_t(m->size);
  size_t n = text.size() < room ? text.size() : room;
  if (n) std::memcpy(m->data, text.data(), n);  // an empty view may carry no pointer
  if (n < room) m->data[n] = 0;
}

void membuf_register_cleanup() {
  vm::element_set_cleanup(vm::kTypeMemBuf, membuf_cleanup);
  script_memory_owner_type(vm::kTypeMemBuf, buffer_bytes);
  vm::ele_register(vm::kTypeMemBuf, read_field);
  vm::g_raw_memory.extent = extent_hook;
  vm::g_raw_memory.store = store_into_buffer;
}

bool script_memory_range(vm::Interp& ctx, int64_t address, int64_t length, uint8_t** out) {
  uint8_t* p = nullptr;
  if (length < 1 || script_memory_extent(ctx, address, &p) < length) return false;
  *out = p;
  return true;
}

int64_t script_memory_extent(vm::Interp&, int64_t address, uint8_t** out) {
  if (address <= 0) return 0;
  uintptr_t a = uintptr_t(address);
  std::lock_guard<std::mutex> lock(g_blocks_lock);
  auto& map = blocks();
  // Live blocks never overlap; a stale entry may hide the live block that
  // now holds the address, so it is dropped and the search goes on below it.
  for (auto it = map.upper_bound(a); it != map.begin();) {
    --it;
    uintptr_t start = it->first;
    const Block& b = it->second;
    if (!owner_holds(b, start)) {
      it = map.erase(it);
      continue;
    }
    if (a - start >= uint64_t(b.size)) return 0;
    *out = reinterpret_cast<uint8_t*>(a);
    return b.size - int64_t(a - start);
  }
  return 0;
}

void script_memory_add(uint32_t owner, uint8_t* data, int64_t size) {
  vm::ElementEntry* e = vm::element_entry(owner);
  if (!data || size <= 0 || !e) return;
  std::lock_guard<std::mutex> lock(g_blocks_lock);
  blocks()[reinterpret_cast<uintptr_t>(data)] = Block{size, owner, e->type};
}

void script_memory_owner_type(uint32_t type, OwnedBlock current) {
  if (type < vm::kElementTypeCount) g_owned[type] = current;
}

void script_memory_remove(const uint8_t* data) {
  if (!data) return;
  std::lock_guard<std::mutex> lock(g_blocks_lock);
  blocks().erase(reinterpret_cast<uintptr_t>(data));
}

}  // namespace storage
