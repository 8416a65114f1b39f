// The image commands of creation, loading, freeing and saving.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "graphics/draw.h"
#include "graphics/image_load.h"
#include "storage/stream.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace vm {

using gfx::Image;

namespace {

bool is_name(Value v) { return element_type_of(v) == kTypeString; }
// Where a command stores its image: a variable's name or an array item.
bool is_destination(Value v) { return is_name(v) || element_type_of(v) == vm::kTypeArrayPath; }

// Depths of imagenew: -32 and 1..32 rounded up to a depth images have;
// anything else 32.
int32_t new_depth(int64_t bits) {
  if (bits == -32) return -32;
  if (bits < 1 || bits > 32) return 32;
  for (int32_t d : {1, 4, 8, 24}) if (bits <= d) return d;
  return 32;
}

// The file name of a save command: `ext` appended when the file part has no
// extension.
std::string with_extension(std::string name, const char* ext) {
  size_t sep = name.find_last_of("/\\:");
  size_t dot = name.find('.', sep == std::string::npos ? 0 : sep + 1);
  if (dot == std::string::npos) name += ext;
  return name;
}

bool write_file(Interp& ctx, const std::string& name, const std::vector<uint8_t>& bytes) {
  uint32_t s = storage::stream_create(&ctx, name);
  if (!s) return false;
  bool ok = storage::stream_write(s, bytes.data(), int64_t(bytes.size())) == int64_t(bytes.size());
  storage::stream_close(s);
  return ok;
}

enum class SaveAs { Bmp, Png, Jpeg, Tiff, Gif };

// imagesave* [quality] image [name]: the first image of the argument, into
// the name (by default the image argument's own text when it was a name).
void save(Interp& ctx, SaveAs as) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  int quality = 75;
  if (as == SaveAs::Jpeg && n >= 2 && !ctx.top[0].is_element()) {
    quality = int(std::clamp<int64_t>(value_to_integer(&ctx, ctx.top[0]), 1, 100));
    i = 1;
  }
  if (i < n) {
    Value image_value = gfx::image_arg(ctx, ctx.top[i]);
    std::vector<Image*> images = gfx::images_of(image_value);
    std::string name;
    if (i + 1 < n) name = value_to_string(&ctx, ctx.top[i + 1]);
    else if (is_name(ctx.top[i])) name = value_to_string(&ctx, ctx.top[i]);
    static const char* const kExt[] = {".bmp", ".png", ".jpg", ".tiff", ".gif"};
    if (!images.empty() && !name.empty()) {
      name = with_extension(name, kExt[int(as)]);
      std::string error;
      std::vector<uint8_t> bytes;
      auto take = [&](base::Result<std::vector<uint8_t>> written) {
        if (written) bytes = std::move(written.value());
        else error = written.error();
      };
      switch (as) {
        case SaveAs::Bmp: bytes = gfx::encode_bmp(*images[0]); break;
        case SaveAs::Png: take(gfx::encode_png(*images[0])); break;
        case SaveAs::Jpeg: take(gfx::encode_jpeg(*images[0], quality)); break;
        case SaveAs::Tiff: take(gfx::encode_tiff(*images[0])); break;
        case SaveAs::Gif: bytes = gfx::encode_gif(*images[0]); break;
      }
      if (bytes.empty())
        std::fprintf(stderr, "quillon: image \"%s\" cannot be written: %s\n", name.c_str(), error.c_str());
      else if (!write_file(ctx, name, bytes))
        std::fprintf(stderr, "quillon: cannot create \"%s\"\n", name.c_str());
    }
  }
  pop_n(ctx, n);
}

}  // namespace

// imagenew [var] width height [bits=32] [colour]: a new image filled with
// the colour (default: the drawing target's current colour); the handle is
// returned, and stored in var when one is named.
// Note: depths between the ones images have round up (16 gives 24); the
// fill of an alpha image leaves its alpha at 0 (a transparent canvas).
void h_imagenew(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t i = 0;
  Value var = Value::null();
  if (n > 0 && is_destination(ctx.top[0])) var = ctx.top[i++];
  auto num = [&](uint32_t k, int64_t dflt) { return k < n ? value_to_integer(&ctx, ctx.top[k]) : dflt; };
  int64_t w = std::clamp<int64_t>(num(i, 0), 0, INT32_MAX);
  int64_t h = std::clamp<int64_t>(num(i + 1, 0), 0, INT32_MAX);
  int32_t bits = new_depth(num(i + 2, 32));
  Image* like = gfx::target(ctx);
  uint32_t k = i + 3;
  uint32_t colour = gfx::read_color(ctx, n, k);
  std::string error;
  uint32_t handle = gfx::image_new(int32_t(w), int32_t(h), bits, like, nullptr, 0, &error);
  if (Image* img = gfx::image_of(handle)) {
    if (img->pixels) gfx::fill_rect(*img, 0, 0, img->width() - 1, img->height() - 1, colour);
  } else {
    std::fprintf(stderr, "quillon: imagenew %lld x %lld: %s\n", static_cast<long long>(w), static_cast<long long>(h),
                 error.c_str());
  }
  Value result = handle ? Value::from_handle(handle) : Value::null();
  if (!var.is_null())
    if (Value* cell = var_for_set(ctx, var)) value_store(*cell, result);
  pop_n(ctx, n);
  push_owned(ctx, result);
}

// imageload name ... | name var: each name into its derived variable; with
// exactly two arguments the first into the variable named by the second.
void h_imageload(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n == 2) {
    gfx::load_into_variable(ctx, ctx.top[0], ctx.top[1]);
  } else {
    for (uint32_t i = 0; i < n; i++) gfx::load_into_variable(ctx, ctx.top[i]);
  }
  pop_n(ctx, n);
}

// imagefree name or pattern ...: deletes each variable named; patterns
// stand for the variables of every scope that hold images.
void h_imagefree(Interp& ctx) { free_variables(ctx, kTypeImage); }

void h_imagesave(Interp& ctx) { save(ctx, SaveAs::Bmp); }
void h_imagesavepng(Interp& ctx) { save(ctx, SaveAs::Png); }
void h_imagesavejpeg(Interp& ctx) { save(ctx, SaveAs::Jpeg); }
void h_imagesavetiff(Interp& ctx) { save(ctx, SaveAs::Tiff); }
void h_imagesavegif(Interp& ctx) { save(ctx, SaveAs::Gif); }

}  // namespace vm
