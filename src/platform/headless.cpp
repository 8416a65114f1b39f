// The headless backend: windows are in-memory surfaces, events come only
// from the host, the clock is the process's monotonic clock.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>

#include "platform/platform.h"

namespace platform {

namespace {

class HeadlessWindow final : public Window {
 public:
  explicit HeadlessWindow(const WindowSpec& spec) : spec_(spec) { resize(spec.width, spec.height); }

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
  const WindowSpec& spec() const override { return spec_; }

  // Without stretching a row copy; with it, every window pixel of the
  // rectangle's image (edges rounded outward) takes the frame pixel its
  // centre falls on.
  void present(const uint8_t* bgra, int32_t stride, int32_t frame_w, int32_t frame_h, int32_t x, int32_t y,
               int32_t w, int32_t h) override {
    int32_t x1 = std::max(x, 0), y1 = std::max(y, 0);
    int32_t x2 = std::min(x + w, frame_w), y2 = std::min(y + h, frame_h);
    if (x1 >= x2 || y1 >= y2) return;
    const int64_t ww = spec_.width, wh = spec_.height;
    int64_t wx1 = x1 * ww / frame_w, wy1 = y1 * wh / frame_h;
    int64_t wx2 = std::min<int64_t>((x2 * ww + frame_w - 1) / frame_w, ww);
    int64_t wy2 = std::min<int64_t>((y2 * wh + frame_h - 1) / frame_h, wh);
    for (int64_t wy = wy1; wy < wy2; wy++) {
      int64_t sy = std::min<int64_t>((2 * wy + 1) * frame_h / (2 * wh), frame_h - 1);
      const uint8_t* src = bgra + sy * stride;
      uint32_t* dst = surface_.data() + wy * ww;
      for (int64_t wx = wx1; wx < wx2; wx++) {
        int64_t sx = std::min<int64_t>((2 * wx + 1) * frame_w / (2 * ww), frame_w - 1);
        const uint8_t* p = src + sx * 4;
        dst[wx] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
      }
    }
  }

  std::vector<uint32_t> surface_;

 private:
  WindowSpec spec_;
};

class Headless final : public Platform {
 public:
  explicit Headless(const Desktop& d) : desktop_(d) {}
  bool headless() const override { return true; }
  Desktop desktop() const override { return desktop_; }
  std::unique_ptr<Window> create_window(const WindowSpec& spec) override {
    return std::make_unique<HeadlessWindow>(spec);
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

 private:
  Desktop desktop_;
};

}  // namespace

std::unique_ptr<Platform> make_headless(const Desktop& desktop) { return std::make_unique<Headless>(desktop); }

const std::vector<uint32_t>* headless_surface(const Window& window) {
  auto* w = dynamic_cast<const HeadlessWindow*>(&window);
  return w ? &w->surface_ : nullptr;
}

}  // namespace platform
