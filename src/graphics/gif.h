// The GIF codec: GIF87a/GIF89a pictures read into frames of palette indices,
// and IMAGE elements written as single-frame GIF files. No library is used.
//
// The reader never trusts its input: every size is checked before anything
// is allocated, and a fault in the data (a stream that ends early, an LZW
// code that is not in the table yet, a bad minimum code size) ends the
// decoding of that frame or of the file cleanly, keeping what was read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "graphics/image.h"

namespace gfx::gif {

// 1/30 s as a 32.32 fixed-point time: the delay of frames whose graphic
// control extension gives 0 or 1 hundredths.
inline constexpr uint64_t kMinimumDelay = 0x8888888;
// What one file may decode to in all its frames together, in pixels (each
// frame alone is limited by kMaxSide and kMaxPixels).
inline constexpr int64_t kMaxTotalPixels = int64_t(1) << 29;

struct Frame {
  int32_t left = 0, top = 0;        // offset on the logical screen
  int32_t width = 0, height = 0;    // both at least 1
  std::vector<uint32_t> palette;    // 0xRRGGBB; the local table, else the global one (may be empty)
  std::vector<uint8_t> indices;     // width * height, rows top-down, de-interlaced
  int32_t transparent = -1;         // transparent index, -1 = none
  int32_t delay_cs = -1;            // delay in hundredths of a second, -1 = none
  uint64_t delay = 0;               // the delay as 32.32 seconds, 0 = none
  int32_t disposal = 0;             // disposal method 0..7 (kept, not applied)
  bool user_input = false;          // user-input flag (kept, not used)
  bool interlaced = false;
  bool complete = false;            // every pixel came from the data; otherwise the
                                    // rest holds the transparent index, else 0
};

struct Picture {
  int32_t screen_width = 0, screen_height = 0;  // logical screen, as given
  std::vector<uint32_t> global_palette;          // 0xRRGGBB
  int32_t background = 0;
  std::vector<Frame> frames;  // in file order
  std::string error;          // the first fault met; empty for a clean file
};

// True when the bytes start with "GIF87a" or "GIF89a".
bool is_gif(const uint8_t* data, size_t size);

// Decodes a GIF file. Frames with a zero side, beyond kMaxSide or
// kMaxPixels, or with a minimum code size outside 2..8 are left out; reading
// stops where the frames read would exceed `max_total_pixels` together.
Picture read(const uint8_t* data, size_t size, int64_t max_total_pixels = kMaxTotalPixels);

// A frame as an IMAGE element: 8 bits with the frame's palette (entries
// beyond the table black), or 1 bit when the table is black, white or
// white, black (pixel values then inverted so that 0 is black). The origin
// offset is the frame's (left, top). `mask`, when the frame has a transparent
// index, is a 1-bit image of the same size whose set pixels are the
// transparent ones. The caller owns both handles; a failure says why a
// frame could not be made.
struct FrameImage {
  uint32_t image = 0;
  uint32_t mask = 0;
  uint64_t delay = 0;  // 32.32 seconds, 0 = none
};
base::Result<FrameImage> frame_to_image(const Frame& frame, const Image* like);

// Writes pixels of one byte each (rows top-down, no padding) as a
// single-frame GIF with the global table `palette` (0xRRGGBB) of `colours`
// entries. Equal entries are merged, except that `transparent` (an index,
// -1 = none) keeps an entry of its own and makes the file GIF89a with a
// graphic control extension. Pixels at or beyond `colours` are written as
// entry 0. Empty when the size is refused or `colours` is outside 1..256.
std::vector<uint8_t> encode(const uint8_t* pixels, int32_t width, int32_t height, const uint32_t* palette,
                            int32_t colours, int32_t transparent = -1);

struct WriteOptions {
  // Images of 1, 4 and 8 bits: the number of palette entries in use
  // (0 = all 2^bits); raised to cover every index the pixels hold.
  int32_t colours = 0;
  // Images of 1, 4 and 8 bits: the palette index that becomes transparent.
  int32_t transparent_index = -1;
  // Any depth: pixels of exactly this colour (0xRRGGBB) become transparent.
  int64_t transparent_colour = -1;
};
// Writes an IMAGE as a single-frame GIF. Images of 1, 4 and 8 bits keep
// their palette and indices; 24- and 32-bit images with at most 256 colours
// get exactly those colours, with more a median-cut palette of 256 colours
// (255 and the transparent one when a transparent colour is present).
std::vector<uint8_t> write(const Image& img, const WriteOptions& options = {});

// The hashed LZW encoder of the writer: `count` pixels below
// 2^min_code_size as data sub-blocks, ending with the zero-length block.
std::vector<uint8_t> lzw_encode(const uint8_t* pixels, size_t count, int32_t min_code_size);

}  // namespace gfx::gif
