// The window glue on the headless platform: the window opens at the first
// flush, centred on the desktop, and shows exactly the frame's pixels;
// headless presentation clips and stretches.
#include <vector>

#include "graphics/draw.h"
#include "graphics/image.h"
#include "host/saver.h"
#include "host/startup.h"
#include "host/window.h"
#include "host/window_state.h"
#include "platform/platform.h"
#include "platform/scaling.h"
#include "vm/clock.h"
#include "vm/commands.h"
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

// --- scaling -------------------------------------------------------------------------------

TEST(Scaling, DoubleSizeMapsEachFramePixelToATwoByTwoBlock) {
  platform::Span s = platform::map_span(10, 19, 640, 1280);
  EXPECT_EQ(s.begin, 20);
  EXPECT_EQ(s.end, 40);  // window pixels 20 to 39
}

// For any sizes, a span is exactly the window pixels that show a frame
// pixel of the run: none missed at either edge, none outside.
TEST(Scaling, SpansAreExactlyTheWindowPixelsShowingTheRun) {
  const int sizes[][2] = {{640, 1000}, {333, 1024}, {1280, 640}, {7, 3}, {5, 5}, {3, 700}};
  for (auto [frame, window] : sizes) {
    for (int first = 0; first < frame; first += 1 + frame / 17) {
      for (int last = first; last < frame; last += 1 + frame / 13) {
        platform::Span s = platform::map_span(first, last, frame, window);
        for (int w = 0; w < window; w++) {
          int64_t f = platform::frame_pixel(w, frame, window);
          bool inside = f >= first && f <= last;
          ASSERT_EQ(inside, w >= s.begin && w < s.end)
              << frame << "->" << window << " run " << first << ".." << last << " pixel " << w;
        }
      }
    }
  }
}

// --- window commands -------------------------------------------------------------------------

TEST_F(Window, StyleKeywordsSetClearAndPopupReplaces) {
  run0(h_windowstyle, {T("popup"), T("sysmenu")});
  EXPECT_EQ(host::window_state(*ctx).style, 0x82080000u);
  run0(h_windowstyle, {T("sysmenu"), I(0)});
  EXPECT_EQ(host::window_state(*ctx).style, 0x82000000u);
  run0(h_windowstyle, {T("border"), T("off"), I(0x10), T("nonsense")});  // an unknown word is its number, 0
  EXPECT_EQ(host::window_state(*ctx).style, 0x82000010u);
  run0(h_windowstyle, {T("child")});
  EXPECT_EQ(host::window_state(*ctx).style, 0x82000000u);
}

TEST_F(Window, ScaledWindowStretchesTheFrame) {
  host::window_shutdown();
  host::window_init(true, {1920, 1080, 24});
  run0(h_windowsize, {I(640), I(480)});
  plot(10, 10, 0x00FF00);
  run0(h_windowscaled, {I(1280), I(960)});
  platform::Window* w = host::main_window(*ctx);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->spec().width, 1280);
  EXPECT_EQ(w->spec().x, 320);  // centred again at the new size
  plot(19, 19, 0xFF0000);
  const auto& s = *platform::headless_surface(*w);
  for (int y = 18; y <= 41; y++)
    for (int x = 18; x <= 41; x++) {
      uint32_t want = (x >= 38 && x <= 39 && y >= 38 && y <= 39) ? argb(0xFF0000)
                      : (x >= 20 && x <= 21 && y >= 20 && y <= 21) ? argb(0x00FF00)
                                                                     : argb(0);
      ASSERT_EQ(s[size_t(y) * 1280 + x], want) << x << "," << y;
    }
  run0(h_windowscaled, {});
  EXPECT_EQ(sysvar_int(*ctx, SV_var_windowscaled), 0);
  EXPECT_EQ(w->spec().width, 640);
}

TEST_F(Window, ResizingAnOpenWindowKeepsThePictureInTheCorner) {
  run0(h_windowsize, {I(40), I(32), I(24)});
  plot(3, 4, 0x123456);
  plot(39, 31, 0x654321);
  run0(h_windowsize, {I(36), I(40), I(8)});
  gfx::Image* f = gfx::frame(*ctx);
  EXPECT_EQ(f->width(), 36);
  EXPECT_EQ(f->height(), 40);
  EXPECT_EQ(f->bits, 8);
  EXPECT_EQ(gfx::get_pixel(*f, 3, 4), f->palette[gfx::nearest_index(*f, 0x123456)]);
  EXPECT_EQ(gfx::get_pixel(*f, 35, 39), 0u);  // new room is black
  platform::Window* w = host::main_window(*ctx);
  EXPECT_EQ(w->spec().width, 36);
  EXPECT_EQ((*platform::headless_surface(*w))[4 * 36 + 3], argb(gfx::get_pixel(*f, 3, 4)));
}

TEST_F(Window, BackgroundWindowCoversTheDesktopBehindTheMainWindow) {
  run0(h_windowbackground, {I(0xFF0000)});
  plot(0, 0, 0xFFFFFF);
  host::WindowState& ws = host::window_state(*ctx);
  ASSERT_NE(ws.background, nullptr);
  EXPECT_EQ(ws.background->spec().width, 100);
  EXPECT_EQ((*platform::headless_surface(*ws.background))[0], argb(0xFF0000));
  run0(h_windowbackground, {I(0x0000FF)});
  EXPECT_EQ((*platform::headless_surface(*ws.background))[99], argb(0x0000FF));
  run0(h_windowbackground, {});
  EXPECT_EQ(ws.background, nullptr);
  EXPECT_NE(host::main_window(*ctx), nullptr);
}

TEST_F(Window, ShowStylesAndTopMost) {
  plot(0, 0, 1);
  platform::Window* w = host::main_window(*ctx);
  run0(h_windowshowstyle, {T("hide")});
  EXPECT_FALSE(w->spec().shown);
  run0(h_windowshowstyle, {T("foo")});  // anything else shows it
  EXPECT_TRUE(w->spec().shown);
  run0(h_windowminimize, {});
  EXPECT_TRUE(w->spec().minimized);
  run0(h_windowmaximize, {});
  EXPECT_FALSE(w->spec().minimized);
  run0(h_windowforcetop, {});
  EXPECT_TRUE(w->spec().topmost);
  run0(h_windowfloattop, {I(0)});
  EXPECT_FALSE(w->spec().topmost);
}

// --- screen saver --------------------------------------------------------------------------

class Saver : public Window {
 protected:
  void SetUp() override {
    Window::SetUp();
    clock_init(true);
  }
  void TearDown() override {
    host::set_startup_flags({});
    clock_init(false);
    Window::TearDown();
  }
  void as_bound_runtime() {
    host::StartupFlags f;
    f.bound_runtime = true;
    host::set_startup_flags(f);
  }
};

TEST_F(Saver, CoversTheDesktopBorderlessAndEndsOnInputAfterTheGrace) {
  as_bound_runtime();
  run0(h_screensaver, {T("keypress")});
  host::WindowState& ws = host::window_state(*ctx);
  EXPECT_EQ(ws.style, 0x82000000u);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_windowsizex), 100);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_windowsizey), 80);
  EXPECT_TRUE(ws.topmost);
  EXPECT_FALSE(ws.has_background);  // the desktop's size needs none
  EXPECT_TRUE(host::saver_holds_window());
  // A click was not asked for; a key within 1.5 s is ignored.
  EXPECT_FALSE(host::saver_input(*ctx, host::SaverInput::Click));
  clock_advance_ms(1499);
  EXPECT_TRUE(host::saver_input(*ctx, host::SaverInput::Key));
  EXPECT_EQ(ctx->stop, 0);
  clock_advance_ms(1);
  EXPECT_TRUE(host::saver_input(*ctx, host::SaverInput::Key));
  EXPECT_EQ(ctx->stop, kStopNormal);
}

TEST_F(Saver, SmallerSizeGetsABlackBackgroundAndNumbersAfterTheWords) {
  as_bound_runtime();
  run0(h_screensaver, {T("mouseclick"), T("interactive"), I(64), I(48), I(8)});
  host::WindowState& ws = host::window_state(*ctx);
  EXPECT_TRUE(ws.has_background);
  EXPECT_EQ(ws.background_rgb, 0u);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_windowsizex), 64);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_windowbitdepth), 8);
  EXPECT_FALSE(host::saver_input(*ctx, host::SaverInput::Key));
}

TEST_F(Saver, OutsideABoundRuntimeItOnlyShapesTheWindow) {
  run0(h_screensaver, {I(24)});
  EXPECT_FALSE(host::saver_holds_window());
  EXPECT_EQ(sysvar_int(*ctx, SV_var_windowbitdepth), 24);
  clock_advance_ms(5000);
  EXPECT_FALSE(host::saver_input(*ctx, host::SaverInput::Key));
  EXPECT_EQ(ctx->stop, 0);
}

TEST_F(Saver, SettingsModeEndsAndUnknownWordsAreSyntaxErrors) {
  run0(h_screensaver, {T("keypress"), T("sideways")});
  EXPECT_EQ(ctx->stop, kErrSyntaxError);
  ctx->stop = 0;
  host::StartupFlags f;
  f.settings = true;
  host::set_startup_flags(f);
  run0(h_screensaver, {});
  EXPECT_EQ(ctx->stop, kStopNormal);
}
