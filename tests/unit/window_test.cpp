// The window glue on the headless platform: the window opens at the first
// flush, centred on the desktop, and shows exactly the frame's pixels;
// headless presentation clips and stretches.
#include <vector>

#include "graphics/draw.h"
#include "graphics/image.h"
#include "host/window.h"
#include "platform/platform.h"
#include "vm_fixture.h"

using namespace vm;

namespace {

uint32_t argb(uint32_t rgb) { return 0xFF000000u | rgb; }

}  // namespace

class Window : public VmTest {
 protected:
  void SetUp() override {
    VmTest::SetUp();
    host::window_init(true, {100, 80, 16});
  }
  void TearDown() override {
    VmTest::TearDown();
    host::window_shutdown();
  }
  // Draws a pixel the way a draw command does: change, mark, finish.
  void plot(int x, int y, uint32_t color) {
    gfx::Image* f = gfx::frame(*ctx);
    gfx::set_pixel(*f, x, y, color);
    gfx::mark_changed(*ctx, *f, x, y, x, y, true);
    gfx::finish_drawing(*ctx);
  }
};

TEST_F(Window, OpensAtTheFirstFlushCentredAndShowsTheFrame) {
  sysvar_set_int(*ctx, SV_var_windowsizex, 40);
  sysvar_set_int(*ctx, SV_var_windowsizey, 32);
  sysvar_set_int(*ctx, SV_var_windowbitdepth, 24);
  gfx::frame(*ctx);
  EXPECT_EQ(host::main_window(*ctx), nullptr);  // a frame alone opens nothing
  plot(0, 0, 0x123456);
  plot(39, 31, 0xABCDEF);
  platform::Window* w = host::main_window(*ctx);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->spec().x, 30);
  EXPECT_EQ(w->spec().y, 24);
  EXPECT_EQ(w->spec().title, "Quillon");
  const std::vector<uint32_t>* s = platform::headless_surface(*w);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->size(), 40u * 32u);
  EXPECT_EQ((*s)[0], argb(0x123456));              // top-left: the bottom-up rows are turned
  EXPECT_EQ((*s)[31 * 40 + 39], argb(0xABCDEF));
  EXPECT_EQ((*s)[1], 0u);                          // only the changed pixels were presented
}

TEST_F(Window, SmallSizesBecomeTheDefaultAndIndexedFramesGoThroughThePalette) {
  sysvar_set_int(*ctx, SV_var_windowsizex, 10);
  sysvar_set_int(*ctx, SV_var_windowsizey, 31);
  sysvar_set_int(*ctx, SV_var_windowbitdepth, 8);
  ASSERT_TRUE(host::open_main_window(*ctx));
  EXPECT_EQ(sysvar_int(*ctx, SV_var_windowsizex), 640);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_windowsizey), 480);
  plot(5, 7, 0xFFFFFF);
  const std::vector<uint32_t>* s = platform::headless_surface(*host::main_window(*ctx));
  EXPECT_EQ((*s)[7 * 640 + 5], argb(gfx::get_pixel(*gfx::frame(*ctx), 5, 7)));
}

TEST_F(Window, TheDesktopComesFromThePlatform) {
  EXPECT_EQ(host::platform_get().desktop().width, 100);
  EXPECT_EQ(host::platform_get().desktop().bits, 16);
}

// A 2 x 2 picture: red green / blue white, as top-down BGRA.
constexpr uint8_t kQuad[] = {0, 0, 255, 255, 0, 255, 0, 255, 255, 0, 0, 255, 255, 255, 255, 255};

TEST(HeadlessWindow, PresentClipsToThePicture) {
  auto p = platform::make_headless({});
  auto w = p->create_window({"t", 0, 0, 2, 2, 0, true});
  w->present(kQuad, 8, 2, 2, 1, -5, 9, 6);  // only (1, 0) lies inside
  const auto& s = *platform::headless_surface(*w);
  EXPECT_EQ(s, (std::vector<uint32_t>{0, 0xFF00FF00, 0, 0}));
}

TEST(HeadlessWindow, PresentStretchesToTheWindow) {
  auto p = platform::make_headless({});
  auto w = p->create_window({"t", 0, 0, 4, 4, 0, true});
  w->present(kQuad, 8, 2, 2, 1, 1, 1, 1);  // the white pixel covers the lower right quarter
  const auto& s = *platform::headless_surface(*w);
  for (int y = 0; y < 4; y++)
    for (int x = 0; x < 4; x++) EXPECT_EQ(s[y * 4 + x], x >= 2 && y >= 2 ? 0xFFFFFFFFu : 0u) << x << "," << y;
}
