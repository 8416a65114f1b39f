// The FONT element: creation and clean-up, glyph access, the VKF and QNF
// readers and writers, and finding fonts by handle, variable or file.
#include "text/font.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "base/bytes.h"
#include "graphics/draw.h"
#include "graphics/image_load.h"
#include "storage/membuf.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace text {

namespace {

// Bounds of what a font file may ask for. A cell is at most 2048 pixels on
// a side and the glyph data at most 64 MiB; anything beyond is refused
// before it is allocated.
constexpr int32_t kMaxCellSide = 2048;
constexpr int64_t kMaxDataSize = int64_t(64) << 20;
// Every metric of a font lies within +-2^16 pixels (times the scale), so
// that layout sums cannot overflow.
constexpr int32_t kMaxMetric = 1 << 16;

bool metric_ok(int32_t v) { return v >= -kMaxMetric && v <= kMaxMetric; }

void put16(std::vector<uint8_t>& out, size_t at, int32_t v) { base::store_le16(out.data() + at, uint16_t(v)); }
void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) { base::store_le32(out.data() + at, v); }

int32_t floor_div(int32_t a, int32_t s) {
  int32_t q = a / s;
  return (a % s != 0 && (a < 0) != (s < 0)) ? q - 1 : q;
}
int32_t ceil_div(int32_t a, int32_t s) { return -floor_div(-a, s); }
int32_t round_div(int32_t a, int32_t s) { return floor_div(a + s / 2, s); }

void font_cleanup(uint32_t, void* payload) {
  auto* f = static_cast<Font*>(payload);
  storage::script_memory_remove(f->data);  // var_fontaddress may have entered it
  std::free(f->data);
  f->data = nullptr;
  vm::value_release(f->name);
  f->name = vm::Value::null();
}

// Bytes per row of a cell at a depth, as stored in the record.
int64_t row_bytes_of(int32_t bits, int32_t width) { return (int64_t(bits) * width + 7) / 8; }

// Inflates a zlib stream that must give exactly `expected` bytes.
bool inflate_exact(const uint8_t* data, size_t size, size_t expected, std::vector<uint8_t>& out) {
  out.assign(expected, 0);
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = uInt(std::min<size_t>(size, std::numeric_limits<uInt>::max()));
  // One byte more than expected, so that a longer body is noticed.
  uint8_t spare = 0;
  z.next_out = out.data();
  z.avail_out = uInt(expected);
  int rc = inflate(&z, Z_FINISH);
  bool ok = rc == Z_STREAM_END && z.avail_out == 0;
  if (rc == Z_BUF_ERROR && z.avail_out == 0) {
    z.next_out = &spare;
    z.avail_out = 1;
    rc = inflate(&z, Z_FINISH);
    ok = false;
  }
  inflateEnd(&z);
  return ok;
}

Font* new_font(uint32_t& handle) {
  handle = font_create();
  return font_of(handle);
}

base::Result<uint32_t> decode_vkf(const uint8_t* p, size_t size, bool check_crc) {
  if (size < 36) return base::Failure{"font header cut short"};
  base::ByteReader in(p, size);
  in.skip(8);
  const int32_t first = in.u16(), count = in.u16(), width = in.u16(), height = in.u16();
  const int32_t bearing = in.i16(), space = in.i16(), gap_line = in.u16();
  const uint16_t reserved48 = in.u16();
  in.skip(4);
  const int32_t bits = in.u8();
  const bool compressed = in.u8() == 1;
  const int32_t x_offset = in.i16();
  const uint32_t crc = in.u32();
  if (check_crc && crc32_of(p, 32) != crc) return base::Failure{"font header checksum mismatch"};
  if (bits != 1 && bits != 2 && bits != 4 && bits != 8) return base::Failure{"unknown font depth"};
  if (first + count > 256) return base::Failure{"font characters beyond 255"};
  if (width > kMaxCellSide || height > kMaxCellSide) return base::Failure{"font cells too large"};
  const int64_t file_row = bits == 4 ? (int64_t(width) + 1) / 2 : row_bytes_of(bits, width);
  const int32_t record_bits = bits == 4 ? 8 : bits;
  const int64_t record_row = row_bytes_of(record_bits, width);
  const int64_t file_data = file_row * height * count;
  const int64_t record_data = record_row * height * count;
  if (record_data > kMaxDataSize) return base::Failure{"font data too large"};
  const int64_t body_size = int64_t(count) * 6 + file_data;

  std::vector<uint8_t> inflated;
  const uint8_t* body;
  if (compressed) {
    if (size < 44) return base::Failure{"font header cut short"};
    const uint32_t packed = in.u32(), unpacked = in.u32();
    if (unpacked != uint64_t(body_size)) return base::Failure{"font body has the wrong size"};
    if (packed > size - 44) return base::Failure{"font body cut short"};
    if (!inflate_exact(p + 44, packed, size_t(body_size), inflated))
      return base::Failure{"font body does not inflate to its size"};
    body = inflated.data();
  } else {
    if (uint64_t(size - 36) < uint64_t(body_size)) return base::Failure{"font body cut short"};
    body = p + 36;
  }

  uint32_t handle;
  Font* f = new_font(handle);
  if (!f) return base::Failure{"out of memory"};
  FontHeader& h = f->h;
  h.cell_width = width;
  h.cell_height = height;
  h.first_char = first;
  h.cell_count = count;
  h.gap_char = 0;
  h.space_width = space + bearing;
  h.gap_line = gap_line;
  h.reserved48 = reserved48;
  h.bits_per_pixel = record_bits;
  h.anti = record_bits > 1;
  h.scale = 1;
  h.data_size = int32_t(record_data);
  int32_t max_advance = 0;
  for (int32_t i = 0; i < count; i++) {
    Glyph& g = h.glyphs[first + i];
    g.ink_left = base::load_le16(body + 2 * i);
    g.ink_right = base::load_le16(body + 2 * (count + i));
    g.x_offset = x_offset;
    g.bearing = bearing;
    g.advance = bearing + base::load_le16(body + 2 * (2 * count + i));
    max_advance = std::max(max_advance, g.advance);
  }
  h.max_advance = max_advance;
  const uint8_t* cells = body + int64_t(count) * 6;
  std::vector<uint8_t> data(static_cast<size_t>(record_data));
  if (bits == 4) {
    // One byte per pixel: each nibble n becomes n * 17.
    for (int64_t row = 0; row < int64_t(height) * count; row++) {
      const uint8_t* src = cells + row * file_row;
      uint8_t* dst = data.data() + row * record_row;
      for (int32_t x = 0; x < width; x++) {
        uint8_t n = (x & 1) ? src[x >> 1] & 0x0F : src[x >> 1] >> 4;
        dst[x] = uint8_t(n * 17);
      }
    }
  } else if (file_data) {
    std::memcpy(data.data(), cells, size_t(file_data));
  }
  if (!font_set_data(*f, std::move(data))) {
    vm::element_release(handle);
    return base::Failure{"font metrics or sizes out of range"};
  }
  return handle;
}

base::Result<uint32_t> decode_qnf(const uint8_t* p, size_t size) {
  if (size < 4) return base::Failure{"font header cut short"};
  const uint8_t version = p[3];
  if (version > 1) return base::Failure{"unknown font version"};
  const size_t header = version == 0 ? kQnfHeaderSizeV0 : kQnfHeaderSize;
  if (size < header) return base::Failure{"font header cut short"};
  FontHeader h{};
  std::memcpy(&h, p, header);
  if (version == 0) h.tab_unit = 0;
  const int32_t bits = h.bits_per_pixel;
  if (bits != 1 && bits != 2 && bits != 4 && bits != 8) return base::Failure{"unknown font depth"};
  if (h.cell_width < 0 || h.cell_height < 0 || h.cell_width > kMaxCellSide || h.cell_height > kMaxCellSide)
    return base::Failure{"font cells too large"};
  if (h.first_char < 0 || h.cell_count < 0 || h.first_char > 255 || h.cell_count > 256 - h.first_char)
    return base::Failure{"font characters beyond 255"};
  if (h.scale < 1 || h.scale > 256) return base::Failure{"bad font scale"};
  const int64_t expect = row_bytes_of(bits, h.cell_width) * h.cell_height * h.cell_count;
  if (expect > kMaxDataSize || h.data_size != expect) return base::Failure{"font data size disagrees"};
  if (size - header < uint64_t(h.data_size)) return base::Failure{"font data cut short"};

  uint32_t handle;
  Font* f = new_font(handle);
  if (!f) return base::Failure{"out of memory"};
  f->h = h;
  f->h.version = 1;
  std::vector<uint8_t> data(p + header, p + header + h.data_size);
  if (!font_set_data(*f, std::move(data))) {
    vm::element_release(handle);
    return base::Failure{"font metrics or sizes out of range"};
  }
  return handle;
}

// The variable `defaultfont`.
vm::Value default_name() {
  static uint32_t name = vm::static_name_intern("defaultfont", 11);
  return vm::Value::from_handle(name);
}

vm::Value load_named(vm::Interp& ctx, std::string_view file, vm::Value var, bool report_missing) {
  static const char* const kExtensions[] = {"qnf", "vkf"};
  std::string bytes;
  if (!gfx::open_with_extensions(ctx, file, kExtensions, bytes)) {
    if (report_missing) {
      std::string extra = " Font \"" + std::string(file) + "\"";
      vm::raise_error(ctx, vm::kErrMissingFile, extra.c_str());
    }
    return vm::Value::null();
  }
  base::Result<uint32_t> decoded = decode_font(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (!decoded) {
    std::fprintf(stderr, "quillon: cannot read font \"%.*s\": %s\n", int(file.size()), file.data(),
                 decoded.error().c_str());
    return vm::Value::null();
  }
  uint32_t h = decoded.value();
  Font* f = font_of(h);
  f->name = vm::Value::from_handle(vm::text_intern(file));
  vm::Value result = vm::Value::null();
  if (vm::Value* cell = vm::var_for_set(ctx, var)) {
    vm::value_store(*cell, vm::Value::from_handle(h));
    result = *cell;
  }
  vm::element_release(h);
  return result;
}

}  // namespace

GlyphMetrics Font::metrics(uint8_t c) const {
  const Glyph& g = h.glyphs[c];
  const int32_t s = h.scale > 0 ? h.scale : 1;
  if (s == 1) return {g.ink_left, g.ink_right, g.x_offset, g.bearing, g.advance};
  return {g.ink_left / s, ceil_div(g.ink_right, s), round_div(g.x_offset, s), ceil_div(g.bearing, s),
          round_div(g.advance, s)};
}

const uint8_t* Font::cell(uint8_t c) const {
  const int32_t i = int32_t(c) - h.first_char;
  if (!data || i < 0 || i >= h.cell_count) return nullptr;
  return data + int64_t(i) * cell_bytes;
}

uint8_t Font::coverage(const uint8_t* cell, int32_t x, int32_t y) const {
  const uint8_t* row = cell + int64_t(y) * row_bytes;
  switch (h.bits_per_pixel) {
    case 1: return (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
    case 2: return uint8_t(((row[x >> 2] >> (6 - 2 * (x & 3))) & 3) * 85);
    case 4: return uint8_t(((x & 1) ? row[x >> 1] & 0x0F : row[x >> 1] >> 4) * 17);
    default: return row[x];
  }
}

uint32_t font_create() {
  uint32_t handle = vm::element_create(nullptr, sizeof(Font), vm::kTypeFont);
  Font* f = font_of(handle);
  if (!f) return 0;
  std::memset(static_cast<void*>(f), 0, sizeof(Font));
  std::memcpy(f->h.magic, "QNF", 3);
  f->h.version = 1;
  f->h.scale = 1;
  f->h.bits_per_pixel = 1;
  f->h.range_last = 255;
  f->self = handle;
  f->name = vm::Value::null();
  return handle;
}

Font* font_of(uint32_t handle) { return static_cast<Font*>(vm::element_lookup(handle, vm::kTypeFont)); }
Font* font_of(vm::Value v) { return v.is_element() ? font_of(v.handle()) : nullptr; }

void font_register() {
  vm::element_set_cleanup(vm::kTypeFont, font_cleanup);
  storage::script_memory_owner_type(vm::kTypeFont, [](const void* payload, const uint8_t*& data, int64_t& size) {
    const auto* f = static_cast<const Font*>(payload);
    data = f->data;
    size = f->h.data_size;
  });
}

bool font_derive(Font& f) {
  FontHeader& h = f.h;
  for (int32_t v : {h.max_advance, h.gap_char, h.space_width, h.gap_line, h.tab_unit})
    if (!metric_ok(v)) return false;
  for (const Glyph& g : h.glyphs)
    for (int32_t v : {g.ink_left, g.ink_right, g.x_offset, g.bearing, g.advance})
      if (!metric_ok(v)) return false;
  if (h.cell_width < 0 || h.cell_height < 0 || h.cell_width > kMaxCellSide || h.cell_height > kMaxCellSide)
    return false;
  if (h.first_char < 0 || h.cell_count < 0 || h.first_char > 255 || h.cell_count > 256 - h.first_char) return false;
  const int64_t row = row_bytes_of(h.bits_per_pixel, h.cell_width);
  if (row * h.cell_height * h.cell_count != h.data_size) return false;
  f.row_bytes = int32_t(row);
  f.cell_bytes = int32_t(row * h.cell_height);
  return true;
}

bool font_set_data(Font& f, std::vector<uint8_t> data) {
  if (int64_t(data.size()) != f.h.data_size || !font_derive(f)) return false;
  uint8_t* block = nullptr;
  if (!data.empty()) {
    block = static_cast<uint8_t*>(std::malloc(data.size()));
    if (!block) return false;
    std::memcpy(block, data.data(), data.size());
  }
  storage::script_memory_remove(f.data);
  std::free(f.data);
  f.data = block;
  f.saved_gap_char = f.h.gap_char;
  f.saved_space_width = f.h.space_width;
  f.saved_gap_line = f.h.gap_line;
  return true;
}

uint32_t crc32_of(const uint8_t* data, size_t size) {
  return uint32_t(::crc32(::crc32(0L, Z_NULL, 0), data, uInt(size)));
}

base::Result<uint32_t> decode_font(const uint8_t* data, size_t size, bool check_crc) {
  if (size >= 4 && std::memcmp(data, "VKF\x1a", 4) == 0) return decode_vkf(data, size, check_crc);
  if (size >= 3 && std::memcmp(data, "QNF", 3) == 0) return decode_qnf(data, size);
  return base::Failure{"not a font file"};
}

std::vector<uint8_t> encode_qnf(const Font& f) {
  std::vector<uint8_t> out(kQnfHeaderSize + size_t(std::max(0, f.h.data_size)));
  FontHeader h = f.h;
  std::memcpy(h.magic, "QNF", 3);
  h.version = 1;
  std::memcpy(out.data(), &h, kQnfHeaderSize);
  if (f.data && f.h.data_size > 0) std::memcpy(out.data() + kQnfHeaderSize, f.data, size_t(f.h.data_size));
  return out;
}

base::Result<std::vector<uint8_t>> encode_vkf(const Font& f, bool compress) {
  const FontHeader& h = f.h;
  if (h.scale != 1) return base::Failure{"only fonts of scale 1 can be written as VKF"};
  if (h.bits_per_pixel == 4) return base::Failure{"4-bit cells cannot be written as VKF"};
  if (h.cell_width > 0xFFFF || h.cell_height > 0xFFFF) return base::Failure{"cells too large"};
  // The shared bearing and x offset are those of the first present glyph;
  // every other present glyph must agree.
  int32_t bearing = 0, x_offset = 0;
  bool seen = false;
  for (int32_t i = 0; i < h.cell_count; i++) {
    const Glyph& g = h.glyphs[h.first_char + i];
    if (!g.advance) continue;
    if (!seen) {
      bearing = g.bearing, x_offset = g.x_offset, seen = true;
    } else if (g.bearing != bearing || g.x_offset != x_offset) {
      return base::Failure{"glyphs differ in bearing or offset"};
    }
  }
  const int32_t count = h.cell_count;
  std::vector<uint8_t> body(size_t(count) * 6 + size_t(std::max(0, h.data_size)));
  for (int32_t i = 0; i < count; i++) {
    const Glyph& g = h.glyphs[h.first_char + i];
    put16(body, size_t(2 * i), g.ink_left);
    put16(body, size_t(2 * (count + i)), g.ink_right);
    put16(body, size_t(2 * (2 * count + i)), g.advance ? g.advance - bearing : 0);
  }
  if (f.data && h.data_size > 0) std::memcpy(body.data() + size_t(count) * 6, f.data, size_t(h.data_size));

  std::vector<uint8_t> out(compress ? 44 : 36);
  std::memcpy(out.data(), "VKF\x1a", 4);
  put16(out, 8, h.first_char);
  put16(out, 10, count);
  put16(out, 12, h.cell_width);
  put16(out, 14, h.cell_height);
  put16(out, 16, bearing);
  put16(out, 18, h.space_width - bearing);
  put16(out, 20, h.gap_line);
  put16(out, 22, h.reserved48);
  out[28] = uint8_t(h.bits_per_pixel);
  out[29] = compress ? 1 : 0;
  put16(out, 30, x_offset);
  put32(out, 32, crc32_of(out.data(), 32));
  if (!compress) {
    out.insert(out.end(), body.begin(), body.end());
    return out;
  }
  uLongf packed = compressBound(uLong(body.size()));
  std::vector<uint8_t> z(packed);
  if (compress2(z.data(), &packed, body.data(), uLong(body.size()), 9) != Z_OK)
    return base::Failure{"compression failed"};
  put32(out, 36, uint32_t(packed));
  put32(out, 40, uint32_t(body.size()));
  out.insert(out.end(), z.begin(), z.begin() + long(packed));
  return out;
}

vm::Value find_font(vm::Interp& ctx, vm::Value v, bool report_missing) {
  if (font_of(v)) return v;
  if (vm::element_type_of(v) != vm::kTypeString) return vm::Value::null();
  vm::Value var = vm::name_from_text(ctx, v);
  vm::Value result = vm::Value::null();
  if (vm::Value* cell = vm::var_find(ctx, var); cell && font_of(*cell)) {
    result = *cell;
  } else {
    result = load_named(ctx, vm::element_text(v), var, report_missing);
  }
  vm::value_release(var);
  return result;
}

vm::Value default_font(vm::Interp& ctx) {
  vm::Value var = default_name();
  if (vm::Value* cell = vm::var_find(ctx, var); cell && font_of(*cell)) return *cell;
  vm::Value got = load_named(ctx, "default.vkf", var, false);
  if (got.is_null()) {
    // The player's own archive: the font keeps its plain name.
    got = load_named(ctx, "resource::default.vkf", var, false);
    if (Font* f = font_of(got)) {
      vm::value_release(f->name);
      f->name = vm::Value::from_handle(vm::text_intern("default.vkf"));
    }
  }
  return got;
}

Font* current_font(vm::Interp& ctx) {
  gfx::Image* img = gfx::target(ctx);
  if (img)
    if (Font* f = font_of(img->st.font)) return f;
  vm::Value def = default_font(ctx);
  Font* f = font_of(def);
  if (f && img) {
    vm::element_ref(f->self);
    vm::element_release(img->st.font);
    img->st.font = f->self;
  }
  return f;
}

}  // namespace text
