// Image creation rules, the table of picture formats (detection by content
// and dispatch to the readers in graphics/formats/), and the loader that
// turns file names into image variables.
#include "graphics/image_load.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "graphics/draw.h"
#include "graphics/formats/formats.h"
#include "graphics/gif.h"
#include "storage/files.h"
#include "storage/stream.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace gfx {

// --- creation -------------------------------------------------------------------

uint32_t grey_ramp(int32_t bits, int32_t i) {
  int32_t n = 1 << std::clamp(bits, 1, 8);
  if (i >= n) return 0xFFFFFF;
  uint32_t v = uint32_t(i * 255 / (n - 1));
  return v << 16 | v << 8 | v;
}

uint32_t image_new(int32_t w, int32_t h, int32_t bits, const Image* like, const uint32_t* palette, int32_t entries,
                   std::string* error) {
  w = std::max(w, 0);
  h = std::max(h, 0);
  entries = std::clamp(entries, 0, 256);
  if (bits == 32 && like && like->has_alpha) bits = -32;
  bool empty = w == 0 || h == 0;
  uint32_t handle = image_create(empty ? 1 : w, empty ? 1 : h, bits, like, error);
  Image* img = image_of(handle);
  if (!img) return 0;
  if (empty) {
    // No pixels: every pixel access and fill sees an image without area.
    // Each side keeps its own size (0 x 5 is 0 wide and 5 high); a row
    // stride of 0 keeps every row address at the null pixel pointer.
    std::free(img->pixels);
    img->pixels = nullptr;
    img->stride = 0;
  }
  DrawState& st = img->st;
  if (like) {
    vm::element_release(st.font);
    st.font = vm::kHandleBase;
  }
  st.width = w;
  st.height = h;
  st.text_x = st.text_y = 0;
  st.minx = st.miny = 0;
  st.maxx = int16_t(std::min(w - 1, 32767));
  st.maxy = int16_t(std::min(h - 1, 32767));
  st.color = img->color_mask;
  if (img->bits <= 8) {
    for (int32_t i = 0; i < 256; i++) img->palette[i] = palette ? (i < entries ? palette[i] & 0xFFFFFF : 0xFFFFFF)
                                                                : grey_ramp(img->bits, i);
  }
  return handle;
}

// --- the formats -------------------------------------------------------------------

namespace {

// A picture format: the test of a file's first bytes and the reader.
struct PictureFormat {
  Format format;
  bool (*matches)(const uint8_t* data, size_t size);
  base::Result<uint32_t> (*read)(const uint8_t* data, size_t size, const Image* like);
};

// The formats in the order their tests are tried; a file that none takes
// is read as JPEG.
constexpr PictureFormat kFormats[] = {
    {Format::Bmp, formats::is_bmp, read_bmp},
    {Format::Own, formats::is_own, read_own},
    {Format::Icon, formats::is_icon, read_icon},
    {Format::Gif, gif::is_gif, read_gif},
    {Format::Tiff, formats::is_tiff, read_tiff},
    {Format::Png, formats::is_png, read_png},
    {Format::Emf, formats::is_emf, formats::read_metafile},
    {Format::PlaceableWmf, formats::is_placeable_wmf, formats::read_metafile},
    {Format::Wmf, formats::is_wmf, formats::read_metafile},
};
constexpr PictureFormat kOtherwise = {Format::Jpeg, nullptr, read_jpeg};

const PictureFormat& format_of(const uint8_t* data, size_t size) {
  for (const PictureFormat& f : kFormats)
    if (f.matches(data, size)) return f;
  return kOtherwise;
}

}  // namespace

Format detect_format(const uint8_t* data, size_t size) { return format_of(data, size).format; }

base::Result<uint32_t> decode(const uint8_t* data, size_t size, const Image* like) {
  return format_of(data, size).read(data, size, like);
}

// --- loading into variables ------------------------------------------------------------------

namespace {

bool is_image_list(vm::Value v) {
  vm::ArrayRecord* a = vm::array_of(v);
  if (!a || a->count == 0) return false;
  for (uint32_t i = 0; i < a->count; i++)
    if (vm::element_type_of(a->items[i].value) != vm::kTypeImage) return false;
  return true;
}

// Counts the digit run that holds position `at` up by one (9 becomes 10).
void count_up(std::string& s, size_t& start, size_t& end) {
  size_t i = end;
  while (i > start) {
    char& c = s[i - 1];
    if (c != '9') {
      c++;
      return;
    }
    c = '0';
    i--;
  }
  s.insert(s.begin() + long(start), '1');
  end++;
}

void report_unreadable(std::string_view name, const std::string& why) {
  std::fprintf(stderr, "quillon: image \"%.*s\" cannot be read: %s\n", int(name.size()), name.data(), why.c_str());
}

}  // namespace

bool open_with_extensions(vm::Interp& ctx, std::string_view name, std::span<const char* const> extensions,
                          std::string& bytes) {
  vm::show_held_drawing(ctx);  // reading and decoding may take long
  uint32_t stream = storage::stream_open_read_gz(&ctx, name);
  size_t sep = name.find_last_of("/\\:");
  std::string_view file = sep == std::string_view::npos ? name : name.substr(sep + 1);
  if (!stream && file.find('.') == std::string_view::npos) {
    for (const char* ext : extensions) {
      std::string tried = std::string(name) + "." + ext;
      stream = storage::stream_open_read_gz(&ctx, tried);
      if (stream) break;
    }
  }
  if (!stream) return false;
  bool whole = storage::stream_read_rest(stream, bytes, storage::kWholeFileLimit);
  storage::stream_close(stream);
  return whole;
}

bool open_image_file(vm::Interp& ctx, std::string_view name, std::string& bytes) {
  return open_with_extensions(ctx, name, kImageExtensions, bytes);
}

vm::Value load_into_variable(vm::Interp& ctx, vm::Value name, vm::Value var) {
  std::string text = vm::value_to_string(&ctx, name);
  vm::Value var_name = var.is_null() ? vm::name_from_text(ctx, name) : var;
  if (!var.is_null()) vm::value_ref(var_name);
  vm::Value result = vm::Value::null();
  vm::Value* cell = vm::var_find(ctx, var_name);
  if (cell && (vm::element_type_of(*cell) == vm::kTypeImage || is_image_list(*cell))) {
    result = *cell;
    vm::value_release(var_name);
    return result;
  }
  const Image* like = target(ctx);
  std::string bytes;
  auto missing = [&](const std::string& what) {
    std::string extra = " Image \"" + what + "\"";
    vm::raise_error(ctx, vm::kErrMissingFile, extra.c_str());
  };
  size_t plus = text.find('+');
  vm::Value stored = vm::Value::null();
  if (plus != std::string::npos) {
    // A numbered sequence: "+" becomes 0, then the digit run there counts up.
    std::string cur = text;
    cur[plus] = '0';
    size_t start = plus, end = plus + 1;
    while (start > 0 && cur[start - 1] >= '0' && cur[start - 1] <= '9') start--;
    while (end < cur.size() && cur[end] >= '0' && cur[end] <= '9') end++;
    vm::Value list = vm::Value::null();
    for (int k = 0; k < 100000; k++) {
      if (!open_image_file(ctx, cur, bytes)) {
        if (k == 0) missing(cur);
        break;
      }
      base::Result<uint32_t> got = decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), like);
      if (!got) report_unreadable(cur, got.error());
      const uint32_t h = got.value();
      vm::Value v = vm::Value::from_handle(h);
      if (vm::element_type_of(v) == vm::kTypeImage) {
        vm::array_append(list, v);
      } else if (vm::ArrayRecord* a = vm::array_of(v)) {
        for (uint32_t i = 0; i < a->count; i++) vm::array_append(list, a->items[i].value);
      }
      if (h) vm::element_release(h);
      count_up(cur, start, end);
    }
    stored = list;
  } else {
    if (!open_image_file(ctx, text, bytes)) {
      missing(text);
    } else {
      base::Result<uint32_t> got = decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), like);
      if (!got) report_unreadable(text, got.error());
      const uint32_t h = got.value();
      stored = h ? vm::Value::from_handle(h) : vm::Value::null();
    }
  }
  if (!stored.is_null()) {
    if (vm::Value* out = vm::var_for_set(ctx, var_name)) {
      vm::value_store(*out, stored);
      result = *out;
    }
    vm::value_release(stored);
  }
  vm::value_release(var_name);
  return result;
}

vm::Value image_arg(vm::Interp& ctx, vm::Value v) {
  uint32_t type = vm::element_type_of(v);
  if (type == vm::kTypeImage || is_image_list(v)) return v;
  if (type == vm::kTypeString) {
    // A variable of that name holding an image, else a file name.
    if (vm::Value* cell = vm::var_find(ctx, v))
      if (vm::element_type_of(*cell) == vm::kTypeImage || is_image_list(*cell)) return *cell;
    return load_into_variable(ctx, v);
  }
  if (type == vm::kTypeArrayPath) {
    // An array item (pics[2]), as imageload and the other commands with a
    // destination store into it: the image or list it holds.
    if (vm::Value* cell = vm::var_find(ctx, v))
      if (vm::element_type_of(*cell) == vm::kTypeImage || is_image_list(*cell)) return *cell;
  }
  return vm::Value::null();
}

std::vector<Image*> images_of(vm::Value v) {
  std::vector<Image*> out;
  if (Image* img = image_of(v.is_element() ? v.handle() : 0)) {
    out.push_back(img);
  } else if (vm::ArrayRecord* a = vm::array_of(v)) {
    for (uint32_t i = 0; i < a->count; i++)
      if (Image* item = image_of(a->items[i].value.is_element() ? a->items[i].value.handle() : 0)) out.push_back(item);
  }
  return out;
}

}  // namespace gfx
