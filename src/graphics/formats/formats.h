// The picture formats, one file each in graphics/formats/: what the readers
// share, and the tests of first bytes and readers that image_load.cpp puts
// in its table of formats. Only the format files and image_load.cpp include
// this; everyone else reads and writes pictures through graphics/image_load.h.
//
// A new format is one file here (its reader, its writer if any, and a test
// of the file's first bytes, declared below) and one line in the table in
// image_load.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/bytes.h"
#include "base/result.h"
#include "graphics/image.h"
#include "graphics/image_load.h"

namespace gfx::formats {

using base::load_le16;
using base::load_le32;
using base::load_le32s;
using base::Failure;
using base::Result;
using base::Status;

// --- shared by the readers ----------------------------------------------------------

// Sizes of a picture before anything is allocated for it.
inline Status size_ok(int64_t w, int64_t h) {
  if (w < 0 || h < 0) return Failure{"bad picture size"};
  if (w > kMaxSide || h > kMaxSide || w * h > kMaxPixels) return Failure{"picture too large"};
  return {};
}

// image_new for a reader: the handle, or why there is none.
inline Result<uint32_t> new_image(int32_t w, int32_t h, int32_t bits, const Image* like,
                                  const uint32_t* palette = nullptr, int32_t entries = 0) {
  std::string why;
  const uint32_t handle = image_new(w, h, bits, like, palette, entries, &why);
  if (!handle) return Failure{why};
  return handle;
}

// An image of the reader's size, 0 x 0 when a side is 0.
inline Result<uint32_t> new_for_reader(int64_t w, int64_t h, int32_t bits, const Image* like) {
  if (Status sized = size_ok(w, h); !sized) return sized.failure();
  return new_image(int32_t(w), int32_t(h), bits, like);
}

// Store row (0 = bottom) of an image.
inline uint8_t* store_row(Image& img, int64_t r) { return img.pixels + r * img.stride; }

// A device-independent bitmap (bmp.cpp): the info header at `dib` (`size`
// bytes to the end of the file), pixels at `pixel_off` from it (-1: right
// after the palette); `icon` for the pictures of icons and cursors.
Result<uint32_t> decode_dib(const uint8_t* dib, size_t size, int64_t pixel_off, bool icon, const Image* like);

// --- the tests of first bytes ---------------------------------------------------------

bool is_bmp(const uint8_t* data, size_t size);    // bmp.cpp
bool is_own(const uint8_t* data, size_t size);    // own.cpp
bool is_icon(const uint8_t* data, size_t size);   // icon.cpp
bool is_tiff(const uint8_t* data, size_t size);   // tiff.cpp
bool is_png(const uint8_t* data, size_t size);    // png.cpp
bool is_emf(const uint8_t* data, size_t size);    // metafile.cpp
bool is_placeable_wmf(const uint8_t* data, size_t size);
bool is_wmf(const uint8_t* data, size_t size);
// GIF: gif::is_gif (graphics/gif.h). JPEG takes whatever no test takes.

// Metafiles (metafile.cpp): an empty 32-bit picture keeping the file's bytes.
Result<uint32_t> read_metafile(const uint8_t* data, size_t size, const Image* like);

}  // namespace gfx::formats
