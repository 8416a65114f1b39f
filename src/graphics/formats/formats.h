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
#include "graphics/image.h"
#include "graphics/image_load.h"

namespace gfx::formats {

using base::load_le16;
using base::load_le32;
using base::load_le32s;

// --- shared by the readers ----------------------------------------------------------

inline bool fail(std::string* error, const char* why) {
  if (error) *error = why;
  return false;
}

// Sizes of a picture before anything is allocated for it.
inline bool size_ok(int64_t w, int64_t h, std::string* error) {
  if (w < 0 || h < 0) return fail(error, "bad picture size");
  if (w > kMaxSide || h > kMaxSide || w * h > kMaxPixels) return fail(error, "picture too large");
  return true;
}

// An image of the reader's size, 0 x 0 when a side is 0.
inline uint32_t new_for_reader(int64_t w, int64_t h, int32_t bits, const Image* like, std::string* error) {
  if (!size_ok(w, h, error)) return 0;
  return image_new(int32_t(w), int32_t(h), bits, like, nullptr, 0, error);
}

// Store row (0 = bottom) of an image.
inline uint8_t* store_row(Image& img, int64_t r) { return img.pixels + r * img.stride; }

// A device-independent bitmap (bmp.cpp): the info header at `dib` (`size`
// bytes to the end of the file), pixels at `pixel_off` from it (-1: right
// after the palette); `icon` for the pictures of icons and cursors.
uint32_t decode_dib(const uint8_t* dib, size_t size, int64_t pixel_off, bool icon, const Image* like,
                    std::string* error);

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
uint32_t read_metafile(const uint8_t* data, size_t size, const Image* like, std::string* error);

}  // namespace gfx::formats
