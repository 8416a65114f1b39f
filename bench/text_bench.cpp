// Text: a 2000-character paragraph drawn with wrapping, against measuring
// the same text with textwidth, in the same run (drawing cost against
// layout cost):
//
//   BM_TextDrawWrapped1Bit, BM_TextDrawWrappedAnti
//                       text at 10, 10 into a 640 x 480 x 32 image with
//                       var_textwrap on: decoding, line layout, alignment
//                       and every glyph drawn, with a 1-bit and an
//                       anti-aliased font
//   BM_TextWidth        textwidth of the same text: decoding and layout only
//
// Both report characters per second. The font is DejaVu Sans (or what
// fontconfig gives for it) at 16 pixels, 1-bit and anti-aliased.
// bench/text_vs_layout.sh prints the ratio. Run the release build:
//   tools/build release bench_text && build/release/bench/bench_text
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "host/engine.h"
#include "graphics/draw.h"
#include "graphics/image.h"
#include "text/font.h"
#include "text/layout.h"
#include "text/sysfont.h"
#include "vm/element.h"
#include "vm/interp.h"

namespace {

// 2000 characters of words of varying length with spaces and punctuation.
std::string paragraph() {
  static const char* const kWords[] = {"layout", "of",     "a",   "paragraph,", "wrapping", "at",
                                       "the",    "right",  "edge", "with",      "glyphs",   "drawn;",
                                       "quick",  "brown",  "fox", "jumps",      "over",     "lazy-dog."};
  std::string s;
  for (size_t i = 0; s.size() < 2000; i++) {
    s += kWords[(i * 7 + i / 3) % (sizeof kWords / sizeof kWords[0])];
    s += ' ';
  }
  s.resize(2000);
  return s;
}

class Session {
 public:
  explicit Session(bool anti) {
    static bool ready = [] {
      host::engine_init();
      return true;
    }();
    (void)ready;
    ctx_ = vm::interp_create();
    image_ = gfx::image_create(640, 480, 32, nullptr, nullptr);
    gfx::set_target(*ctx_, image_);
    font_ = text::font_create();
    text::Font* f = text::font_of(font_);
    f->sys = text::default_system_desc();
    std::strcpy(f->sys.face, "DejaVu Sans");
    f->sys.anti = anti;
    if (!text::rasterize_system_font(*f, &error_)) return;
    gfx::Image* img = gfx::image_of(image_);
    vm::element_release(img->st.font);
    vm::element_ref(font_);
    img->st.font = font_;
    img->st.color = 0xFFFFFF;
    text::text_state(*ctx_).wrap = 1;
  }
  ~Session() {
    gfx::set_target(*ctx_, 0);
    vm::element_release(image_);
    vm::element_release(font_);
    vm::interp_destroy(ctx_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  vm::Interp& ctx() { return *ctx_; }
  gfx::Image& image() { return *gfx::image_of(image_); }
  const std::string& error() const { return error_; }

 private:
  vm::Interp* ctx_ = nullptr;
  uint32_t image_ = 0, font_ = 0;
  std::string error_;
};

void draw_wrapped(benchmark::State& state, bool anti) {
  Session s(anti);
  if (!s.error().empty()) return state.SkipWithError(s.error().c_str());
  const std::string text = paragraph();
  gfx::Image& img = s.image();
  for (auto _ : state) {
    img.st.text_x = img.st.text_y = 10;
    text::draw_text(s.ctx(), text);
    benchmark::DoNotOptimize(img.pixels);
    benchmark::ClobberMemory();
  }
  // The paragraph must have wrapped onto several lines and left ink.
  if (img.st.text_y < 100) state.SkipWithError("the paragraph did not wrap");
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
void BM_TextDrawWrapped1Bit(benchmark::State& state) { draw_wrapped(state, false); }
void BM_TextDrawWrappedAnti(benchmark::State& state) { draw_wrapped(state, true); }
BENCHMARK(BM_TextDrawWrapped1Bit)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TextDrawWrappedAnti)->Unit(benchmark::kMicrosecond);

void BM_TextWidth(benchmark::State& state) {
  Session s(false);
  if (!s.error().empty()) return state.SkipWithError(s.error().c_str());
  const std::string text = paragraph();
  const text::Font* f = text::current_font(s.ctx());
  int32_t width = 0;
  for (auto _ : state) {
    text::Decoded d = text::decode_text(&s.ctx(), text, *f, 0, text::text_state(s.ctx()));
    width = text::text_width(d, text::text_state(s.ctx()), false);
    benchmark::DoNotOptimize(width);
  }
  if (width < 2000) state.SkipWithError("the width is implausible");
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_TextWidth)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
