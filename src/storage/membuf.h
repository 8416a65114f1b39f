// The record of a script memory buffer (MEMBUF element, type 14). Its bytes
// live in a MEMDATA element (type 15) that the buffer owns. The memory
// commands build on this; streams on "mem:" names read and write through it.
//
// Raw addresses. A script may hold the address of a buffer's bytes as a
// plain number (buf->adr) and hand it to commands that read or write raw
// memory. Such an address is never dereferenced unless the whole range lies
// inside a live memory block of the script: the bytes of a memory buffer, or
// a block that another subsystem entered (an image's pixel block). Every
// command that works through an address asks script_memory_range first.
#pragma once

#include <cstdint>
#include <type_traits>
#include <string_view>

#include "vm/element.h"
#include "vm/value.h"

namespace vm {
struct Interp;
}

namespace storage {

struct MemBuf {
  uint8_t* data;          // start of the bytes; null when the size is 0
  uint32_t self;          // the buffer's own handle
  uint32_t block;         // the MEMDATA element owning the bytes, 0 when none
  int32_t size;           // bytes
  int32_t dim_count;      // at least 1
  int32_t element_count;  // size / (dim2 * dim3 * ...), at least 1
  int32_t dims[];         // dim1, dim2, ... (each at least 1); dim1 follows element_count
};
// The record is made by clearing bytes (element_create).
static_assert(std::is_trivially_copyable_v<MemBuf>);

inline MemBuf* membuf_of(vm::Value v) {
  return static_cast<MemBuf*>(vm::element_lookup(v, vm::kTypeMemBuf));
}

// Largest buffer: sizes of 2^31 bytes or more are refused.
inline constexpr int64_t kMemBufLimit = int64_t(1) << 31;

// A zeroed buffer of dims[0] * dims[1] * ... bytes (dimensions below 1 count
// as 1); one reference, the caller's. 0 when the product reaches 2^31 or
// memory runs out.
uint32_t membuf_new(const int32_t* dims, int32_t dim_count);

// Resizes the buffer, keeping its leading bytes; growth is zeroed. Equal
// size with data present does nothing; size 0 frees the bytes. Sizes below
// 0 or from 2^31 are refused (false), as is a failed allocation. The first
// dimension then follows the new element count.
bool membuf_resize(uint32_t handle, int64_t size);

// Copies a text into the start of the buffer without changing its size: cut
// at the buffer's end, followed by a NUL when there is room.
void membuf_store_text(MemBuf* m, std::string_view text);

// Registers the MEMBUF clean-up, its element fields (ele_adr, ele_len,
// ele_dim1..4) and the raw-memory hooks of the interpreter (reading and
// writing texts at raw addresses, `set` of a buffer). storage_init calls it.
void membuf_register_cleanup();

// --- raw addresses -------------------------------------------------------------

// True when [address, address + length) lies wholly inside one live block
// (length at least 1); `out` then points at the byte at `address`.
bool script_memory_range(vm::Interp& ctx, int64_t address, int64_t length, uint8_t** out);

// The number of bytes from `address` to the end of the live block holding
// it, with `out` pointing at `address`; 0 when no block holds it.
int64_t script_memory_extent(vm::Interp& ctx, int64_t address, uint8_t** out);

// Enters a block owned by element `owner`, or removes one by its start.
// The owner removes the block before it frees or moves the bytes. A block
// is handed out only while its owner is live, of the type it had when the
// block was entered, and still holds exactly these bytes (same start, same
// size) by its type's OwnedBlock: so a block its owner forgot to remove, or
// one whose slot a new element of the same type took, is never reached;
// such a stale entry is dropped when a lookup meets it. Memory buffers
// enter and remove their own bytes.
void script_memory_add(uint32_t owner, uint8_t* data, int64_t size);
void script_memory_remove(const uint8_t* data);

// The bytes an element of a type holds now for raw addresses (null data
// when none). A type without one never has its blocks handed out.
using OwnedBlock = void (*)(const void* payload, const uint8_t*& data, int64_t& size);
void script_memory_owner_type(uint32_t type, OwnedBlock current);

// The address a script sees for a pointer, and back.
inline int64_t address_of(const void* p) { return int64_t(reinterpret_cast<uintptr_t>(p)); }

}  // namespace storage
