// Fuzz target: the VKF and QNF readers (without the header checksum, so that
// the fuzzer reaches the body). A font read must survive being written as
// QNF and read back unchanged, and drawing every character into an image
// with wrapping, whatever its metrics say.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/engine.h"
#include "graphics/draw.h"
#include "graphics/image.h"
#include "text/font.h"
#include "text/layout.h"
#include "vm/element.h"
#include "vm/interp.h"

namespace {

vm::Interp* g_ctx = nullptr;

void init() {
  static bool done = [] {
    host::engine_init();
    g_ctx = vm::interp_create();
    gfx::frame(*g_ctx);  // made at the first use, and kept
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  init();
  uint32_t live = vm::g_elements.live;
  uint32_t handle = text::decode_font(data, size, false).value();
  if (text::Font* f = text::font_of(handle)) {
    std::vector<uint8_t> qnf = text::encode_qnf(*f);
    uint32_t back = text::decode_font(qnf.data(), qnf.size(), false).value();
    text::Font* g = text::font_of(back);
    if (!g || std::memcmp(&g->h, &f->h, sizeof f->h) != 0) __builtin_trap();
    if (f->h.data_size && std::memcmp(g->data, f->data, size_t(f->h.data_size)) != 0) __builtin_trap();
    vm::element_release(back);

    uint32_t img = gfx::image_create(64, 48, 24, nullptr, nullptr);
    gfx::set_target(*g_ctx, img);
    gfx::Image* target = gfx::image_of(img);
    vm::element_ref(handle);
    vm::element_release(target->st.font);
    target->st.font = handle;
    text::text_state(*g_ctx).wrap = 1;
    text::text_state(*g_ctx).justified = 1;
    text::text_state(*g_ctx).left = 0;
    std::string all;
    for (int c = 1; c < 256; c++) all += char(c);
    text::draw_text(*g_ctx, all);
    gfx::set_target(*g_ctx, 0);
    vm::element_release(img);
    vm::element_release(handle);
  }
  if (vm::g_elements.live != live) __builtin_trap();  // every element of the run was freed
  return 0;
}
