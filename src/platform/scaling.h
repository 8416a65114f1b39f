// The stretch between a frame and a window of another size. Window pixel w
// shows frame pixel frame_pixel(w): the one its centre falls on. A changed
// run of frame pixels is redrawn in the window pixels that show it.
#pragma once

#include <cstdint>

namespace platform {

inline int64_t frame_pixel(int64_t w, int64_t frame_size, int64_t window_size) {
  int64_t f = (2 * w + 1) * frame_size / (2 * window_size);
  return f < frame_size ? f : frame_size - 1;
}

struct Span {
  int64_t begin, end;  // window pixels, end exclusive; empty when begin >= end
};

// The window pixels showing frame pixels first..last (inclusive). The
// corner starts at first x window / frame and the far edge at the edge
// rounded outward; each is then moved forward or back until it is stable
// under frame_pixel. So a 640-pixel frame in a 1280-pixel window maps
// 10..19 to 20..39.
inline Span map_span(int64_t first, int64_t last, int64_t frame_size, int64_t window_size) {
  if (first < 0) first = 0;
  if (last > frame_size - 1) last = frame_size - 1;
  if (first > last || frame_size <= 0 || window_size <= 0) return {0, 0};
  int64_t b = first * window_size / frame_size;
  while (b < window_size && frame_pixel(b, frame_size, window_size) < first) b++;
  while (b > 0 && frame_pixel(b - 1, frame_size, window_size) >= first) b--;
  int64_t e = ((last + 1) * window_size + frame_size - 1) / frame_size;
  if (e > window_size) e = window_size;
  while (e > b && frame_pixel(e - 1, frame_size, window_size) > last) e--;
  while (e < window_size && frame_pixel(e, frame_size, window_size) <= last) e++;
  return {b, e};
}

}  // namespace platform
