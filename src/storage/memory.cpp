// Memory-buffer commands: buffers held in script variables (memnew,
// memfree, memclear, memresize, memload, memsave) and raw memory reached by
// address (the get, set, scan, fill and move commands).
//
// A raw address is used only when the whole range it names lies inside one
// live memory block of the script (see storage/membuf.h): otherwise a get
// gives 0 and a set, fill or move does nothing. Wherever an address is
// taken, a buffer (or the name of a variable holding one) stands for the
// address of its first byte. Words are 2 bytes, longs 4, floats 4-byte IEEE
// singles, all little-endian; bytes and words read unsigned, longs signed.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "storage/files.h"
#include "storage/membuf.h"
#include "storage/stream.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace storage {
namespace {

using vm::Interp;
using vm::Value;

MemBuf* buffer_arg(Interp& ctx, uint32_t n, uint32_t i) {
  return membuf_of(element_arg(ctx, vm::arg(ctx, n, i), vm::kTypeMemBuf));
}

// The bytes at [address, address + count * width), or null when the count
// is not positive or the range is not wholly inside one live block.
uint8_t* range(Interp& ctx, int64_t address, int64_t count, int width) {
  uint8_t* p;
  if (count <= 0 || count > kMemBufLimit) return nullptr;
  return script_memory_range(ctx, address, count * width, &p) ? p : nullptr;
}

uint32_t load_le(const uint8_t* p, int width) {
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

void store_le(uint8_t* p, uint32_t v, int width) {
  for (int i = 0; i < width; i++) p[i] = uint8_t(v >> (8 * i));
}

// memget{byte,word,long} address: the value there, or 0.
void get_int(Interp& ctx, int width) {
  uint32_t n = vm::close_frame(ctx);
  const uint8_t* p = range(ctx, address_arg(ctx, n, 0), 1, width);
  uint32_t v = p ? load_le(p, width) : 0;
  finish_int(ctx, n, width == 4 ? int64_t(int32_t(v)) : int64_t(v));
}

// memset{byte,word,long} address value...: stores the values one after the
// other; nothing unless all of them fit.
void set_int(Interp& ctx, int width) {
  uint32_t n = vm::close_frame(ctx);
  if (uint8_t* p = range(ctx, address_arg(ctx, n, 0), int64_t(n) - 1, width))
    for (uint32_t i = 1; i < n; i++) store_le(p + (i - 1) * width, uint32_t(int_arg(ctx, n, i)), width);
  finish_none(ctx, n);
}

// memscan{byte,word,3byte,long}[not] address value count: the address of
// the first of count elements that equals (or, for the not forms, differs
// from) the value; 0 when none does or the range is not inside one block.
void scan(Interp& ctx, int width, bool equal) {
  uint32_t n = vm::close_frame(ctx);
  int64_t address = address_arg(ctx, n, 0), count = int_arg(ctx, n, 2);
  uint32_t mask = width == 4 ? 0xffffffffu : (1u << (8 * width)) - 1;
  uint32_t value = uint32_t(int_arg(ctx, n, 1)) & mask;
  int64_t found = 0;
  if (const uint8_t* p = range(ctx, address, count, width)) {
    for (int64_t i = 0; i < count; i++) {
      if ((load_le(p + i * width, width) == value) == equal) {
        found = address + i * width;
        break;
      }
    }
  }
  finish_int(ctx, n, found);
}

// The count bytes at the address of a closed frame of n arguments (address,
// count), as a text; empty when the range is not inside one block.
void get_bytes(Interp& ctx, uint32_t n) {
  int64_t count = int_arg(ctx, n, 1);
  const uint8_t* p = range(ctx, address_arg(ctx, n, 0), count, 1);
  finish_text(ctx, n, p ? std::string_view(reinterpret_cast<const char*>(p), size_t(count)) : "");
}

}  // namespace

void store_new_buffer(Interp& ctx, Value name, const std::string& data) {
  uint32_t t = vm::element_type_of(name);
  if (t != vm::kTypeString && t != vm::kTypeArrayPath) return;
  int32_t dim = data.empty() ? 1 : int32_t(data.size());
  uint32_t h = membuf_new(&dim, 1);
  if (!h) return;
  if (data.empty()) membuf_resize(h, 0);
  MemBuf* m = membuf_of(Value::from_handle(h));
  if (m->data) std::memcpy(m->data, data.data(), data.size());
  if (Value* cell = vm::var_for_set(ctx, name)) vm::value_store(*cell, Value::from_handle(h));
  vm::element_release(h);
}

}  // namespace storage

namespace vm {

using storage::MemBuf;

// memnew name dim1 [dim2 ...]: a zeroed buffer of dim1 x dim2 x ... bytes
// (a dimension below 1 counts as 1) in the variable; refused (the variable
// left alone) when the size would be 2^31 bytes or more.
void h_memnew(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Value name = arg(ctx, n, 0);
  uint32_t t = element_type_of(name);
  if (n >= 2 && (t == kTypeString || t == kTypeArrayPath)) {
    std::vector<int32_t> dims;
    bool fits = true;
    for (uint32_t i = 1; i < n && fits; i++) {
      int64_t d = storage::int_arg(ctx, n, i);
      fits = d < storage::kMemBufLimit;
      dims.push_back(d < 1 ? 1 : int32_t(d));
    }
    uint32_t h = fits ? storage::membuf_new(dims.data(), int32_t(dims.size())) : 0;
    if (h) {
      if (Value* cell = var_for_set(ctx, name)) value_store(*cell, Value::from_handle(h));
      element_release(h);
      ctx.vars_dirty = true;
    }
  }
  pop_n(ctx, n);
}

// memfree buffer...: frees each buffer's bytes at once (addresses into it
// stop working); a buffer given by name also loses its variable.
void h_memfree(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  for (uint32_t i = 0; i < n; i++) {
    Value v = ctx.top[i];
    MemBuf* m = storage::membuf_of(storage::element_arg(ctx, v, kTypeMemBuf));
    if (!m) continue;
    storage::membuf_resize(m->self, 0);
    if (element_type_of(v) != kTypeMemBuf) var_delete(ctx, v);
  }
  pop_n(ctx, n);
}

// memclear buffer: sets every byte to 0.
void h_memclear(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (MemBuf* m = storage::buffer_arg(ctx, n, 0); m && m->data) std::memset(m->data, 0, size_t(m->size));
  pop_n(ctx, n);
}

// memresize buffer size: keeps the leading bytes, zeroes growth; size 0
// frees the bytes; a negative size or one of 2^31 or more is refused.
void h_memresize(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (MemBuf* m = storage::buffer_arg(ctx, n, 0)) storage::membuf_resize(m->self, storage::int_arg(ctx, n, 1));
  pop_n(ctx, n);
}

// memload file variable: a buffer holding the whole file (inflated when
// var_filegzip is on) in the variable; nothing when the file cannot be
// opened or holds 2^31 bytes or more.
void h_memload(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string data;
  if (storage::read_named(ctx, storage::TextArg(ctx, arg(ctx, n, 0)).view(), data, storage::kMemBufLimit - 1))
    storage::store_new_buffer(ctx, arg(ctx, n, 1), data);
  pop_n(ctx, n);
}

// memsave buffer file: writes the buffer's bytes to the file.
void h_memsave(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (MemBuf* m = storage::buffer_arg(ctx, n, 0)) {
    uint32_t self = m->self;
    if (uint32_t h = storage::stream_create(&ctx, storage::TextArg(ctx, arg(ctx, n, 1)).view())) {
      if (MemBuf* b = storage::membuf_of(Value::from_handle(self)); b && b->data)
        storage::write_from_address(ctx, h, storage::address_of(b->data), b->size);
      storage::stream_close(h);
    }
  }
  pop_n(ctx, n);
}

void h_memgetbyte(Interp& ctx) { storage::get_int(ctx, 1); }
void h_memgetword(Interp& ctx) { storage::get_int(ctx, 2); }
void h_memgetlong(Interp& ctx) { storage::get_int(ctx, 4); }

void h_memgetfloat(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  float f = 0;
  if (const uint8_t* p = storage::range(ctx, storage::address_arg(ctx, n, 0), 1, 4)) std::memcpy(&f, p, 4);
  storage::finish_value(ctx, n, value_from_float(&ctx, double(f)));
}

void h_memsetbyte(Interp& ctx) { storage::set_int(ctx, 1); }
void h_memsetword(Interp& ctx) { storage::set_int(ctx, 2); }
void h_memsetlong(Interp& ctx) { storage::set_int(ctx, 4); }

void h_memsetfloat(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (uint8_t* p = storage::range(ctx, storage::address_arg(ctx, n, 0), int64_t(n) - 1, 4)) {
    for (uint32_t i = 1; i < n; i++) {
      float f = float(value_to_float(&ctx, ctx.top[i]));
      std::memcpy(p + (i - 1) * 4, &f, 4);
    }
  }
  pop_n(ctx, n);
}

// memgetbytes address count: the count bytes there, as a text (empty when
// the range is not inside one block).
void h_memgetbytes(Interp& ctx) { storage::get_bytes(ctx, close_frame(ctx)); }

// memgetstring address [count]: with a count, the count bytes there, zero
// bytes included, as memgetbytes gives them; without one (or with one below
// 1), the text up to its first NUL, which must lie inside the block. Empty
// when the range is not inside one block.
void h_memgetstring(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 2 && storage::int_arg(ctx, n, 1) >= 1) return storage::get_bytes(ctx, n);
  uint8_t* p = nullptr;
  int64_t avail = storage::script_memory_extent(ctx, storage::address_arg(ctx, n, 0), &p);
  const void* nul = avail > 0 ? std::memchr(p, 0, size_t(avail)) : nullptr;
  size_t len = nul ? size_t(static_cast<const uint8_t*>(nul) - p) : 0;
  storage::finish_text(ctx, n, std::string_view(nul ? reinterpret_cast<const char*>(p) : "", len));
}

// memsetbytes address text: copies the text's bytes (no NUL) there.
void h_memsetbytes(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  storage::TextArg t(ctx, arg(ctx, n, 1));
  if (uint8_t* p = storage::range(ctx, storage::address_arg(ctx, n, 0), int64_t(t.view().size()), 1))
    std::memcpy(p, t.view().data(), t.view().size());
  pop_n(ctx, n);
}

// memset address value count: fills count bytes with the value's low byte.
void h_memset(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t count = storage::int_arg(ctx, n, 2);
  if (uint8_t* p = storage::range(ctx, storage::address_arg(ctx, n, 0), count, 1))
    std::memset(p, int(storage::int_arg(ctx, n, 1) & 0xff), size_t(count));
  pop_n(ctx, n);
}

// memmove destination source count: copies count bytes; the ranges may
// overlap, and each must lie inside one block.
void h_memmove(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t count = storage::int_arg(ctx, n, 2);
  uint8_t* to = storage::range(ctx, storage::address_arg(ctx, n, 0), count, 1);
  const uint8_t* from = storage::range(ctx, storage::address_arg(ctx, n, 1), count, 1);
  if (to && from) std::memmove(to, from, size_t(count));
  pop_n(ctx, n);
}

void h_memscanbyte(Interp& ctx) { storage::scan(ctx, 1, true); }
void h_memscanbytenot(Interp& ctx) { storage::scan(ctx, 1, false); }
void h_memscanword(Interp& ctx) { storage::scan(ctx, 2, true); }
void h_memscanwordnot(Interp& ctx) { storage::scan(ctx, 2, false); }
void h_memscan3byte(Interp& ctx) { storage::scan(ctx, 3, true); }
void h_memscan3bytenot(Interp& ctx) { storage::scan(ctx, 3, false); }
void h_memscanlong(Interp& ctx) { storage::scan(ctx, 4, true); }
void h_memscanlongnot(Interp& ctx) { storage::scan(ctx, 4, false); }

// memaddadr address offset: the address offset bytes further (offset may be
// negative), when both lie in the same live block (its end included); else 0.
void h_memaddadr(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t base = storage::address_arg(ctx, n, 0), offset = storage::int_arg(ctx, n, 1), r = 0;
  uint8_t* p;
  int64_t left = storage::script_memory_extent(ctx, base, &p);
  if (left > 0 && offset >= -storage::kMemBufLimit && offset <= left) {
    if (offset >= 0 || storage::script_memory_extent(ctx, base + offset, &p) == left - offset) r = base + offset;
  }
  storage::finish_int(ctx, n, r);
}

}  // namespace vm
