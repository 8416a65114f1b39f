// The record of a script memory buffer (MEMBUF element, type 14). Its bytes
// live in a MEMDATA element (type 15) that the buffer owns. The memory
// commands build on this; streams on "mem:" names read and write through it.
#pragma once

#include <cstdint>

#include "vm/element.h"
#include "vm/value.h"

namespace storage {

struct MemBuf {
  uint8_t* data;          // start of the bytes; null when the size is 0
  uint32_t self;          // the buffer's own handle
  uint32_t block;         // the MEMDATA element owning the bytes, 0 when none
  int32_t size;           // bytes
  int32_t dim_count;      // at least 1
  int32_t element_count;  // size / (dim2 * dim3 * ...), at least 1
  int32_t dims[];         // dim1, dim2, ... (each at least 1)
};

inline MemBuf* membuf_of(vm::Value v) {
  return static_cast<MemBuf*>(vm::element_lookup(v, vm::kTypeMemBuf));
}

// A zeroed buffer of dims[0] * dims[1] * ... bytes (dimensions below 1 count
// as 1); one reference, the caller's. 0 when the product reaches 2^31 or
// memory runs out.
uint32_t membuf_new(const int32_t* dims, int32_t dim_count);

// Resizes the buffer, keeping its leading bytes; growth is zeroed. Equal
// size with data present does nothing; size 0 frees the bytes. Sizes below
// 0 or from 2^31 are refused (false), as is a failed allocation.
bool membuf_resize(uint32_t handle, int64_t size);

// Registers the MEMBUF clean-up (storage_init calls it).
void membuf_register_cleanup();

}  // namespace storage
