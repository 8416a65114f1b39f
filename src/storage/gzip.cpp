// gzip members opened for reading are inflated into a FILEDATA block.
//
// The header is read as RFC 1952 has it (method and flag bits beyond the
// optional fields are not checked). Unlike a bare inflate, the trailer's
// CRC-32 and length are verified: a member that fails them, or whose deflate
// data is corrupt or cut short, is handed back raw rather than as wrong data,
// and content beyond kMaxInflatedSize is refused the same way.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "base/bytes.h"
#include "storage/names.h"
#include "storage/stream.h"
#include "vm/element.h"

namespace storage {
namespace {

constexpr size_t kInputBlock = 16384;
constexpr int64_t kOutputStep = 32768;
constexpr uint32_t kMaxExtraField = 8192;

// Buffered reading of the stream from its current position.
struct Input {
  uint32_t stream;
  uint8_t buf[kInputBlock];
  size_t pos = 0, len = 0;

  bool fill() {
    if (pos < len) return true;
    int64_t n = stream_read(stream, buf, int64_t(sizeof buf));
    pos = 0;
    len = n > 0 ? size_t(n) : 0;
    return len > 0;
  }
  int get() { return fill() ? buf[pos++] : -1; }
  bool skip(size_t n) {
    while (n > 0) {
      if (!fill()) return false;
      size_t k = std::min(n, len - pos);
      pos += k;
      n -= k;
    }
    return true;
  }
};

// Inflates the raw deflate data that follows the header into a new FILEDATA
// element, then checks the trailer. Returns the element (one reference) or 0.
uint32_t inflate_member(Input& in) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return 0;
  uint32_t block = filedata_new(nullptr, 0);
  int64_t have = 0, capacity = 0;
  uint32_t crc = uint32_t(crc32(0, nullptr, 0));
  int status = Z_OK;
  while (block && status != Z_STREAM_END) {
    if (!in.fill()) break;  // cut short
    if (have == capacity) {
      if (capacity >= kMaxInflatedSize + 1) break;  // too large
      int64_t grown = std::min(capacity < kOutputStep ? kOutputStep : capacity * 2, kMaxInflatedSize + 1);
      if (!vm::element_resize(block, size_t(grown))) break;
      capacity = grown;
    }
    auto* out = static_cast<uint8_t*>(vm::element_entry(block)->payload);
    z.next_in = in.buf + in.pos;
    z.avail_in = uInt(in.len - in.pos);
    z.next_out = out + have;
    z.avail_out = uInt(capacity - have);
    status = inflate(&z, Z_NO_FLUSH);
    in.pos = in.len - z.avail_in;
    int64_t produced = (capacity - have) - int64_t(z.avail_out);
    crc = uint32_t(crc32(crc, out + have, uInt(produced)));
    have += produced;
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) break;
  }
  inflateEnd(&z);
  bool ok = block && status == Z_STREAM_END && have <= kMaxInflatedSize;
  if (ok) {
    uint8_t trailer[8];
    for (uint8_t& b : trailer) {
      int c = in.get();
      if (c < 0) ok = false;
      b = uint8_t(c);
    }
    uint32_t want_crc = base::load_le32(trailer);
    uint32_t want_size = base::load_le32(trailer + 4);
    ok = ok && want_crc == crc && want_size == uint32_t(have);
  }
  if (ok && !vm::element_resize(block, size_t(have))) ok = false;
  if (!ok) {
    vm::element_release(block);
    return 0;
  }
  return block;
}

}  // namespace

bool gzip_inflate_stream(uint32_t stream) {
  Stream* s = stream_of(stream);
  if (!s) return false;
  auto in = std::make_unique<Input>();
  in->stream = stream;
  uint8_t header[10];
  bool gzip = true;
  for (uint8_t& b : header) {
    int c = in->get();
    if (c < 0) gzip = false;
    b = uint8_t(c);
  }
  gzip = gzip && header[0] == 0x1f && header[1] == 0x8b;
  uint8_t flags = header[3];
  std::string name;
  if (gzip && (flags & 4)) {  // FEXTRA
    int lo = in->get(), hi = in->get();
    uint32_t n = lo < 0 || hi < 0 ? kMaxExtraField + 1 : uint32_t(lo | hi << 8);
    gzip = n <= kMaxExtraField && in->skip(n);
  }
  if (gzip && (flags & 8)) {  // FNAME, kept up to kNameLimit bytes
    int c;
    while ((c = in->get()) > 0)
      if (name.size() < kNameLimit) name += char(c);
    gzip = c == 0;
  }
  if (gzip && (flags & 16)) {  // FCOMMENT
    int c;
    while ((c = in->get()) > 0) {
    }
    gzip = c == 0;
  }
  if (gzip && (flags & 2)) gzip = in->skip(2);  // FHCRC

  uint32_t block = gzip ? inflate_member(*in) : 0;
  if (!block) {
    stream_seek(stream, 0, 0);
    return false;
  }
  s = stream_of(stream);
  vm::Value old = s->source;
  s->source = vm::Value::from_handle(block);
  s->base = 0;
  s->position = 0;
  s->size = vm::element_entry(block)->size;
  s->inflated = 1;
  vm::Value old_name = s->name;
  s->name = name.empty() ? vm::Value::null() : vm::Value::from_handle(vm::text_intern(name));
  vm::value_release(old_name);
  release_source(old);
  return true;
}

}  // namespace storage
