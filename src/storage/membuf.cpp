#include "storage/membuf.h"

namespace storage {
namespace {

void membuf_cleanup(uint32_t, void* payload) {
  auto* m = static_cast<MemBuf*>(payload);
  uint32_t block = m->block;
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

}  // namespace

uint32_t membuf_new(const int32_t* dims, int32_t dim_count) {
  if (dim_count < 1 || !dims) return 0;
  int64_t size = 1;
  for (int32_t i = 0; i < dim_count; i++) {
    size *= dims[i] < 1 ? 1 : dims[i];
    if (size >= (int64_t(1) << 31)) return 0;
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
  if (!m || size < 0 || size >= (int64_t(1) << 31)) return false;
  if (size == m->size && m->data) return true;
  if (size == 0) {
    uint32_t block = m->block;
    m->block = 0;
    m->data = nullptr;
    m->size = 0;
    m->element_count = element_count_of(m);
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
  if (!bytes) return false;
  m->data = static_cast<uint8_t*>(bytes);
  m->size = int32_t(size);
  m->element_count = element_count_of(m);
  return true;
}

void membuf_register_cleanup() { vm::element_set_cleanup(vm::kTypeMemBuf, membuf_cleanup); }

}  // namespace storage
