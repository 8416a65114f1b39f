// The headless backend: windows are in-memory surfaces, events come only
// from the host, the clock is the process's monotonic clock.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>

#include "base/pixel_rows.h"
#include "platform/platform.h"
#include "platform/scaling.h"

namespace platform {

static_assert(std::endian::native == std::endian::little, "surface words are stored little-endian");

namespace {

class HeadlessWindow final : public Window {
 public:
  HeadlessWindow(const WindowSpec& spec, uint32_t id) : spec_(spec), id_(id) { resize(spec.width, spec.height); }

  void set_title(const std::string& title) override { spec_.title = title; }
  void move(int32_t x, int32_t y) override {
    spec_.x = x;
    spec_.y = y;
  }
  void resize(int32_t width, int32_t height) override {
    spec_.width = std::max(width, 1);
    spec_.height = std::max(height, 1);
    surface_.assign(size_t(spec_.width) * size_t(spec_.height), 0);
  }
  void set_style(uint32_t style) override { spec_.style = style; }
  void show(bool shown) override { spec_.shown = shown; }
  void minimize() override { spec_.minimized = true; }
  void restore() override {
    spec_.minimized = false;
    spec_.shown = true;
  }
  void raise() override { spec_.shown = true; }
  void set_topmost(bool on) override { spec_.topmost = on; }
  void fill(uint32_t rgb) override { std::fill(surface_.begin(), surface_.end(), 0xFF000000u | rgb); }
  uint32_t id() const override { return id_; }
  void warp_pointer(int32_t, int32_t) override {}
  const WindowSpec& spec() const override { return spec_; }

  // Every window pixel showing a frame pixel of the rectangle takes that
  // frame pixel (the same place when the sizes agree).
  void present(const uint8_t* bgra, int32_t stride, int32_t frame_w, int32_t frame_h, int32_t x, int32_t y,
               int32_t w, int32_t h) override {
    if (frame_w <= 0 || frame_h <= 0) return;
    const int64_t ww = spec_.width, wh = spec_.height;
    if (ww == frame_w && wh == frame_h) {
      copy_unscaled(bgra, stride, x, y, w, h);
      return;
    }
    Span xs = map_span(x, int64_t(x) + w - 1, frame_w, ww);
    Span ys = map_span(y, int64_t(y) + h - 1, frame_h, wh);
    for (int64_t wy = ys.begin; wy < ys.end; wy++) {
      const uint8_t* src = bgra + frame_pixel(wy, frame_h, wh) * stride;
      uint32_t* dst = surface_.data() + wy * ww;
      for (int64_t wx = xs.begin; wx < xs.end; wx++) {
        const uint8_t* p = src + frame_pixel(wx, frame_w, ww) * 4;
        dst[wx] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
      }
    }
  }

  // Unscaled, each rectangle's rows are copied straight; only a scaled
  // window goes through present's mapping per rectangle.
  void present_areas(const uint8_t* bgra, int32_t stride, int32_t frame_w, int32_t frame_h, const Area* areas,
                     size_t count) override {
    if (spec_.width != frame_w || spec_.height != frame_h)
      return Window::present_areas(bgra, stride, frame_w, frame_h, areas, count);
    for (size_t i = 0; i < count; i++) copy_unscaled(bgra, stride, areas[i].x, areas[i].y, areas[i].w, areas[i].h);
  }

  std::vector<uint32_t> surface_;

 private:
  void copy_unscaled(const uint8_t* bgra, int32_t stride, int64_t x, int64_t y, int64_t w, int64_t h) {
    const int64_t ww = spec_.width, wh = spec_.height;
    int64_t x1 = std::max<int64_t>(x, 0), y1 = std::max<int64_t>(y, 0);
    int64_t x2 = std::min<int64_t>(x + w, ww), y2 = std::min<int64_t>(y + h, wh);
    // The surface's pixels are 0xFFRRGGBB words: in memory, the picture's
    // B, G, R bytes with the fourth set.
    const uint8_t* src = bgra + y1 * stride + x1 * 4;
    uint32_t* dst = surface_.data() + y1 * ww + x1;
    if (x2 <= x1 || y2 <= y1) return;
    const size_t n = size_t(x2 - x1);
    if (n * size_t(y2 - y1) * 4 >= base::kStreamingCopyBytes) {
      for (int64_t row = y1; row < y2; row++, src += stride, dst += ww)
        base::copy_opaque32_streaming(reinterpret_cast<uint8_t*>(dst), src, n);
      base::stream_fence();
    } else {
      for (int64_t row = y1; row < y2; row++, src += stride, dst += ww)
        base::copy_opaque32(reinterpret_cast<uint8_t*>(dst), src, n);
    }
  }

  WindowSpec spec_;
  uint32_t id_;
};

class Headless final : public Platform {
 public:
  explicit Headless(const Desktop& d) : desktop_(d) {}
  bool headless() const override { return true; }
  Desktop desktop() const override { return desktop_; }
  std::unique_ptr<Window> create_window(const WindowSpec& spec) override {
    return std::make_unique<HeadlessWindow>(spec, ++last_id_);
  }
  bool poll_event(Event&) override { return false; }
  uint64_t now_ms() override {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
  }
  void sleep_ms(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  void message_box(const char* caption, const char* text) override {
    std::fprintf(stderr, "%s: %s\n", caption, text);
  }
  int ask(const char* caption, const char* text, const std::vector<std::string>& buttons, int default_button, int,
          int) override {
    std::fprintf(stderr, "%s: %s\n", caption, text);
    return default_button >= 0 && size_t(default_button) < buttons.size() ? default_button : 0;
  }
  void show_cursor(bool) override {}
  bool set_cursor(const std::string&) override { return true; }
  bool set_custom_cursor(const uint32_t*, int32_t w, int32_t h, int32_t, int32_t) override { return w > 0 && h > 0; }

 private:
  Desktop desktop_;
  uint32_t last_id_ = 0;
};

}  // namespace

std::unique_ptr<Platform> make_headless(const Desktop& desktop) { return std::make_unique<Headless>(desktop); }

const std::vector<uint32_t>* headless_surface(const Window& window) {
  auto* w = dynamic_cast<const HeadlessWindow*>(&window);
  return w ? &w->surface_ : nullptr;
}

}  // namespace platform
