// Draw and colour commands on a tiny drawing target: exact pixels, the
// changed-area list, the colour reader and the colour models.
#include <cmath>
#include <initializer_list>
#include <vector>

#include "graphics/draw.h"
#include "vm/commands.h"
#include "vm_fixture.h"

using namespace vm;

class Draw : public VmTest {
 protected:
  void SetUp() override {
    VmTest::SetUp();
    sysvar_set_int(*ctx, SV_var_windowsizex, 8);
    sysvar_set_int(*ctx, SV_var_windowsizey, 6);
    img = gfx::target(*ctx);
    ASSERT_NE(img, nullptr);
    gfx::set_flush_hook(nullptr);
  }
  static Value I(int64_t x) { return Value::from_int(x); }

  // Calls a command with its arguments in script order; returns the number
  // of results it left (which stay on the stack until popped).
  uint32_t call(CommandHandler h, std::initializer_list<Value> args) {
    uint32_t before = depth();
    open_frame(*ctx);
    std::vector<Value> list(args);
    for (auto it = list.rbegin(); it != list.rend(); ++it) push(*ctx, *it);
    vm::run_command(*ctx, h);
    return depth() - before;
  }
  int64_t result(CommandHandler h, std::initializer_list<Value> args) {
    EXPECT_EQ(call(h, args), 1u);
    int64_t v = int_at(0);
    pop(*ctx);
    return v;
  }
  double fresult(CommandHandler h, std::initializer_list<Value> args) {
    EXPECT_EQ(call(h, args), 1u);
    double v = value_to_float(ctx, cell(0));
    pop(*ctx);
    return v;
  }
  uint32_t px(int x, int y) { return uint32_t(result(h_colorget, {I(x), I(y)})); }
  // The picture as rows of '#' (the colour c) and '.' (anything else).
  std::string picture(uint32_t c = 0xFFFFFF) {
    std::string out;
    for (int y = 0; y < img->height(); y++) {
      for (int x = 0; x < img->width(); x++) out += gfx::get_pixel(*img, x, y) == c ? '#' : '.';
      out += '\n';
    }
    return out;
  }
  gfx::Image* img = nullptr;
};

TEST_F(Draw, FrameHasTheWindowSizeAndDefaults) {
  EXPECT_EQ(img->width(), 8);
  EXPECT_EQ(img->height(), 6);
  EXPECT_EQ(img->bits, 32);
  EXPECT_EQ(result(h_color, {}), 0xFFFFFF);
  EXPECT_EQ(px(0, 0), 0u);
  EXPECT_EQ(px(8, 0), 0xFFFFFFu);  // outside
  EXPECT_EQ(px(0, -1), 0xFFFFFFu);
}

TEST_F(Draw, ColourReader) {
  call(h_color, {I(255), I(0), I(255)});
  EXPECT_EQ(img->st.color, 0xFF00FFu);
  call(h_color, {I(1), I(2)});
  EXPECT_EQ(img->st.color, 1u);
  EXPECT_EQ(img->st.back, 2u);
  call(h_color, {I(300), I(-5), I(7)});  // clamped channels
  EXPECT_EQ(img->st.color, 0xFF0007u);
  call(h_color, {text("LightBlue"), text("red")});
  EXPECT_EQ(img->st.color, 0x0000FFu);
  EXPECT_EQ(img->st.back, 0xAA0000u);
  call(h_colorname, {text("mine"), I(0x123456), text("red")});  // "red" removed
  call(h_color, {text("mine")});
  EXPECT_EQ(img->st.color, 0x123456u);
  call(h_color, {text("red")});
  EXPECT_EQ(img->st.color, 0u);  // no longer a keyword: read as an integer
}

TEST_F(Draw, RasterOperationFlagsExcludeEachOther) {
  call(sysvar_handler(SV_var_drawor), {I(1)});
  call(sysvar_handler(SV_var_drawand), {I(5)});
  EXPECT_EQ(result(sysvar_handler(SV_var_drawand), {}), 1);
  EXPECT_EQ(result(sysvar_handler(SV_var_drawor), {}), 0);
  EXPECT_EQ(result(sysvar_handler(SV_var_drawxor), {}), 0);
  EXPECT_EQ(result(sysvar_handler(SV_var_colormax), {}), 0xFFFFFF);
  EXPECT_EQ(result(sysvar_handler(SV_var_drawmaxx), {}), 7);
}

TEST_F(Draw, LineEndPoints) {
  call(h_drawline, {I(5), I(5), I(5), I(5)});
  EXPECT_EQ(picture(), picture(0xABCDEF));  // nothing plotted
  call(h_drawline, {I(0), I(0), I(3), I(0)});
  EXPECT_EQ(px(0, 0), 0xFFFFFFu);
  EXPECT_EQ(px(2, 0), 0xFFFFFFu);
  EXPECT_EQ(px(3, 0), 0u);
  // Polyline: the joint is plotted once by the next segment, the last end not.
  call(h_drawline, {I(0), I(2), I(2), I(4), I(6), I(4)});
  EXPECT_EQ(picture(),
            "###.....\n"
            "........\n"
            "#.......\n"
            ".#......\n"
            "..####..\n"
            "........\n");
}

TEST_F(Draw, LineStepsTheLongerAxisAndHonoursTheFilter) {
  call(h_drawline, {I(0), I(0), I(7), I(3)});
  EXPECT_EQ(picture(),
            "###.....\n"
            "...##...\n"
            ".....##.\n"
            "........\n"  // (7,3) is the end point: not plotted
            "........\n"
            "........\n");
  call(sysvar_handler(SV_var_drawfilter), {I(128)});
  call(h_drawline, {I(0), I(5), I(2), I(5), I(-1), I(5)});  // also leaves the image
  // old - ((old - c) * 128 >> 8): 0 -> 128 -> 192; the joint (2,5) is plotted
  // once, the points walked back over twice.
  EXPECT_EQ(px(0, 5), 0xC0C0C0u);
  EXPECT_EQ(px(1, 5), 0xC0C0C0u);
  EXPECT_EQ(px(2, 5), 0x808080u);
}

TEST_F(Draw, PixelsTakeAnOptionalLeadingColour) {
  call(h_drawpixel, {I(255), I(1), I(1), I(9), I(9)});
  call(h_drawpixel, {I(2), I(2)});
  EXPECT_EQ(px(1, 1), 255u);
  EXPECT_EQ(px(2, 2), 0xFFFFFFu);
}

TEST_F(Draw, BoxRings) {
  call(h_drawbox, {I(1), I(1), I(4), I(4), I(0)});
  EXPECT_EQ(picture(), picture(0xABCDEF));
  call(h_drawbox, {I(3), I(2), I(4), I(3), I(-2)});
  EXPECT_EQ(picture(),
            ".######.\n"
            ".######.\n"
            ".##..##.\n"
            ".##..##.\n"
            ".######.\n"
            ".######.\n");
  call(h_drawclear, {I(0)});
  call(h_drawbox, {I(0), I(0), I(6), I(5), I(2)});
  EXPECT_EQ(picture(),
            "#######.\n"
            "#######.\n"
            "##...##.\n"
            "##...##.\n"
            "#######.\n"
            "#######.\n");
  call(h_drawclear, {I(0)});
  call(h_drawbox, {I(0), I(0), I(2), I(1), I(3)});  // stops shrinking at 2 x 1
  EXPECT_EQ(picture().substr(0, 18), "###.....\n###.....\n");
}

TEST_F(Draw, BoxOutwardRingsOnALargerFrame) {
  interp_destroy(ctx);
  ctx = interp_create();
  sysvar_set_int(*ctx, SV_var_windowsizex, 30);
  sysvar_set_int(*ctx, SV_var_windowsizey, 30);
  img = gfx::target(*ctx);
  call(h_drawbox, {I(10), I(10), I(20), I(20), I(-2)});
  for (int k : {8, 9, 21, 22}) {
    EXPECT_EQ(px(k, 15), 0xFFFFFFu) << k;
    EXPECT_EQ(px(15, k), 0xFFFFFFu) << k;
  }
  EXPECT_EQ(px(8, 8), 0xFFFFFFu);
  EXPECT_EQ(px(22, 22), 0xFFFFFFu);
  for (int k : {7, 10, 20, 23}) EXPECT_EQ(px(k, 15), 0u) << k;
}

TEST_F(Draw, RectsRegionAndClear) {
  call(h_drawregion, {I(6), I(4), I(1), I(1)});
  EXPECT_EQ(result(sysvar_handler(SV_var_drawminx), {}), 1);
  EXPECT_EQ(result(sysvar_handler(SV_var_drawmaxy), {}), 4);
  call(h_drawrect, {I(0), I(0), I(3), I(9), I(7), I(5), I(6), I(4)});
  EXPECT_EQ(picture(),
            "........\n"
            ".###....\n"
            ".###....\n"
            ".###....\n"
            ".###..#.\n"
            "........\n");
  call(h_drawregion, {});
  call(h_drawclear, {I(0x010203)});
  std::string full;
  for (int y = 0; y < 6; y++) full += "########\n";
  EXPECT_EQ(picture(0x010203), full);
  EXPECT_EQ(img->st.back, 0x010203u);
  EXPECT_EQ(px(7, 5), 0x010203u);
}

TEST_F(Draw, MoveCopiesThroughTheRasterOperation) {
  call(h_drawpixel, {I(0), I(0)});
  call(h_drawpixel, {I(0x0F0F0F), I(1), I(0)});
  call(h_drawmove, {I(0), I(0), I(1), I(0), I(3), I(3)});
  EXPECT_EQ(px(3, 3), 0xFFFFFFu);
  EXPECT_EQ(px(4, 3), 0x0F0F0Fu);
  call(sysvar_handler(SV_var_drawxor), {I(1)});
  call(h_drawmove, {I(3), I(3), I(4), I(3), I(3), I(3)});
  EXPECT_EQ(px(3, 3), 0u);
  EXPECT_EQ(px(4, 3), 0u);
}

TEST_F(Draw, FineGrainKeepsTouchingRectanglesApart) {
  interp_destroy(ctx);
  ctx = interp_create();
  sysvar_set_int(*ctx, SV_var_windowsizex, 64);
  img = gfx::target(*ctx);
  gfx::ChangedList& list = gfx::changed(*ctx);
  gfx::set_fine_grain(*ctx);
  gfx::mark_changed(*ctx, *img, 0, 0, 32, 10, false);
  gfx::mark_changed(*ctx, *img, 33, 0, 40, 10, false);
  ASSERT_EQ(list.rects.size(), 2u);
  gfx::mark_changed(*ctx, *img, 40, 0, 50, 10, false);  // shares column 40: widens the second
  ASSERT_EQ(list.rects.size(), 2u);
  EXPECT_EQ(list.rects[1].x2, 50);
  gfx::mark_changed(*ctx, *img, 1, 1, 2, 2, false);  // inside the first
  EXPECT_EQ(list.rects.size(), 2u);
  gfx::mark_changed(*ctx, *img, 0, 20, 70, 30, false);  // clamped to the bounds
  ASSERT_EQ(list.rects.size(), 3u);
  EXPECT_EQ(list.rects[2].x2, 63);

  // Without fine grain the list holds the bounding box; a hook flushes it.
  static std::vector<gfx::Rect> flushed;
  flushed.clear();
  gfx::set_flush_hook([](Interp&, gfx::Image&, const gfx::Rect* r, size_t n) { flushed.assign(r, r + n); });
  gfx::finish_drawing(*ctx);
  EXPECT_EQ(flushed.size(), 3u);
  EXPECT_EQ(flushed[0].y1, 20);  // last first
  EXPECT_TRUE(list.rects.empty());
  EXPECT_FALSE(list.fine_grain);
  call(h_drawpixel, {I(1), I(1)});
  call(h_drawpixel, {I(5), I(3), I(-4), I(-4)});
  ASSERT_EQ(flushed.size(), 1u);
  EXPECT_EQ(flushed[0].x1, 5);
  gfx::set_flush_hook(nullptr);
  gfx::mark_changed(*ctx, *img, 1, 1, 1, 1, false);
  gfx::mark_changed(*ctx, *img, 4, 3, 4, 3, false);
  ASSERT_EQ(list.rects.size(), 1u);
  EXPECT_EQ(list.rects[0].x2, 4);
  EXPECT_EQ(list.rects[0].y1, 1);
}

TEST_F(Draw, InsideAndOverlap) {
  EXPECT_EQ(result(h_drawinside, {I(4), I(4), I(1), I(1), I(9), I(9), I(4), I(1)}), 1);
  EXPECT_EQ(result(h_drawinside, {I(1), I(1), I(4), I(4), I(5), I(1)}), 0);
  EXPECT_EQ(result(h_drawoverlap, {I(0), I(0), I(3), I(3), I(9), I(9), I(4), I(4), I(3), I(3), I(5), I(5)}), 1);
  EXPECT_EQ(result(h_drawoverlap, {I(0), I(0), I(3), I(3), I(4), I(0), I(5), I(3)}), 0);
  EXPECT_EQ(result(h_drawoverlaps, {I(0), I(0), I(4), I(4), I(3), I(3), I(1), I(1)}), 1);
  EXPECT_EQ(result(h_drawoverlaps, {I(0), I(0), I(4), I(4), I(4), I(0), I(1), I(1)}), 0);
  EXPECT_EQ(result(h_drawoverlaps, {I(0), I(0), I(0), I(4), I(0), I(0), I(1), I(1)}), 0);
  EXPECT_EQ(result(h_drawinside, {I(1), I(1), I(4), I(4), I(5)}), 0);  // too few
}


TEST_F(Draw, EllipsesExcludeTheRightAndBottomEdge) {
  call(h_drawcirclefilled, {I(3), I(3), I(2)});  // box (1,1)-(5,5): pixels 1..4
  EXPECT_EQ(picture(),
            "........\n"
            "..##....\n"
            ".####...\n"
            ".####...\n"
            "..##....\n"
            "........\n");
  call(h_drawclear, {I(0)});
  call(h_drawcircle, {I(4), I(3), I(4), I(3)});  // outline, pen 1 inside the box
  EXPECT_EQ(picture(),
            "..####..\n"
            ".#....#.\n"
            "#......#\n"
            "#......#\n"
            ".#....#.\n"
            "..####..\n");
  call(h_drawclear, {I(0)});
  call(h_drawcircle, {I(4), I(3), I(4), I(3), I(3)});  // pen wider than half: solid
  EXPECT_EQ(picture(),
            "..####..\n"
            ".######.\n"
            "########\n"
            "########\n"
            ".######.\n"
            "..####..\n");
}

TEST_F(Draw, RoundRectangles) {
  call(h_drawrectround, {I(0), I(0), I(8), I(6), I(4)});
  EXPECT_EQ(picture(),
            ".######.\n"
            "########\n"
            "########\n"
            "########\n"
            "########\n"
            ".######.\n");
  call(h_drawclear, {I(0)});
  call(h_drawboxround, {I(1), I(1), I(7), I(5), I(1), I(0)});  // square corners
  EXPECT_EQ(picture(),
            "........\n"
            ".######.\n"
            ".#....#.\n"
            ".#....#.\n"
            ".######.\n"
            "........\n");
  call(h_drawclear, {I(0)});
  call(h_drawboxround, {I(7), I(5), I(1), I(1), I(-3), I(-2)});  // sorted; pen >= 1, corner >= 0
  EXPECT_EQ(picture(0xFFFFFF).substr(9, 9), ".######.\n");
}

TEST_F(Draw, PolygonsFillByPixelCentres) {
  call(h_drawpolygonfilled, {I(0), I(0), I(4), I(0), I(4), I(4), I(0), I(4)});
  call(h_drawpolygonfilled, {I(5), I(0), I(8), I(0), I(5), I(3)});  // triangle
  EXPECT_EQ(picture(),
            "####.##.\n"  // the triangle's slanted edge is its right edge
            "####.#..\n"
            "####....\n"
            "####....\n"
            "........\n"
            "........\n");
  call(h_drawclear, {I(0)});
  call(h_drawpolygon, {I(1), I(1), I(5), I(1), I(5), I(4)});
  EXPECT_EQ(picture(),
            "........\n"
            ".#####..\n"
            "..##.#..\n"
            "....##..\n"
            ".....#..\n"
            "........\n");
  call(h_drawclear, {I(0)});
  call(h_drawpolygon, {I(2), I(2), I(5), I(2), I(3)});  // odd: thickness 3
  EXPECT_EQ(picture(),
            "........\n"
            ".######.\n"
            ".######.\n"
            ".######.\n"
            "........\n"
            "........\n");
}

TEST_F(Draw, FloodFillsExactlyTheConnectedArea) {
  call(h_drawclear, {I(0x112233)});
  call(h_drawbox, {I(1), I(1), I(5), I(4)});
  call(h_drawpixel, {I(0x112233), I(7), I(0)});
  call(h_color, {I(0x112233)});
  call(h_drawflood, {I(3), I(2)});  // fill colour equal to the area's colour
  call(h_color, {I(0xFF)});
  call(h_drawflood, {I(3), I(2)});
  EXPECT_EQ(picture(0xFF),
            "........\n"
            "........\n"
            "..###...\n"
            "..###...\n"
            "........\n"
            "........\n");
  call(h_drawpixel, {I(0xFFFFFF), I(0), I(0)});  // a diagonal neighbour is not connected
  call(h_color, {I(0xAB)});
  call(h_drawflood, {I(0), I(0), I(0), I(0xFFFFFF)});
  EXPECT_EQ(picture(0xAB).substr(0, 18), "#.......\n........\n");
  call(h_drawflood, {I(4), I(5), I(1), I(0xFFFFFF)});  // border mode: up to the box
  EXPECT_EQ(px(7, 0), 0xABu);
  EXPECT_EQ(px(0, 5), 0xABu);
  EXPECT_EQ(px(3, 3), 0xFFu);
  EXPECT_EQ(px(1, 1), 0xFFFFFFu);
}

TEST_F(Draw, GradientsFillTheSeedRegion) {
  call(h_drawbox, {I(0), I(0), I(7), I(5)});
  // Linear, angle 0, inside the box: u runs 0..1 over the clip rectangle (8
  // wide), so columns 1..6 take 0 + 255 * i / 7 rounded.
  call(h_drawgradient, {I(3), I(3), I(0), I(0xFF)});
  EXPECT_EQ(px(0, 2), 0xFFFFFFu);  // the box is another region
  EXPECT_EQ(px(1, 2), 36u);        // 255 / 7 = 36.4
  EXPECT_EQ(px(6, 4), 219u);       // 255 * 6 / 7 = 218.6
  // Angle 90: down the rows; two segments, the first with a share of 50%.
  call(h_drawgradient, {I(3), I(3), text("angle"), I(90), text("black"), text("lightblue"),
                        Value::from_double(50.0), text("lime"), text("lime")});
  EXPECT_EQ(px(3, 1), 0x66u);      // p = 0.2 of the first half: 0.4 * 255
  EXPECT_EQ(px(3, 4), 0xFF00u);    // p = 0.8: in the second segment
  // Radial about a corner of the clip rectangle.
  call(h_drawgradient, {I(3), I(3), text("sphere"), I(0), I(0), I(0xFFFFFF), I(0)});
  double r = std::hypot(7, 5);
  uint32_t expect = uint32_t(255 - 255 * (std::hypot(3, 3) / r) + 0.5);
  EXPECT_EQ(px(3, 3), expect * 0x010101u);
}

class Color : public Draw {};

TEST_F(Color, HueSaturationBrightness) {
  EXPECT_EQ(result(h_colorhsb, {}), 0xFF0000);
  EXPECT_EQ(result(h_colorhsb, {I(120)}), 0x00FF00);
  EXPECT_EQ(result(h_colorhsb, {I(-60)}), 0xFF00FF);  // wrapped to 300
  EXPECT_EQ(result(h_colorhsb, {I(720)}), 0xFF0000);
  EXPECT_EQ(result(h_colorhsb, {I(30), I(50), I(50)}), 0x806040);
  EXPECT_DOUBLE_EQ(fresult(h_colorhue, {I(0x0000FF)}), 240);
  EXPECT_DOUBLE_EQ(fresult(h_colorhue, {I(0xFF00FF)}), 300);
  EXPECT_DOUBLE_EQ(fresult(h_colorhue, {text("yellow")}), 60);
  EXPECT_DOUBLE_EQ(fresult(h_colorhue, {I(0x808080)}), 0);  // grey: 0
  EXPECT_DOUBLE_EQ(fresult(h_colorhue, {I(0)}), 0);
  EXPECT_DOUBLE_EQ(fresult(h_colorsaturation, {I(0xFF0000)}), 100);
  EXPECT_DOUBLE_EQ(fresult(h_colorsaturation, {I(0)}), 0);
  EXPECT_DOUBLE_EQ(fresult(h_colorbrightness, {I(0x336699)}), 60);
  EXPECT_DOUBLE_EQ(fresult(h_colorbrightness, {I(0), I(0), I(255)}), 100);
}

TEST_F(Draw, DitherAndRandomStayWithinOneStepOfTheRamp) {
  call(h_drawgradient, {I(0), I(0), text("dither"), I(0), I(0x7F)});
  for (int x = 0; x < 8; x++) {
    double ideal = 127.0 * x / 7;
    EXPECT_LE(std::fabs(double(px(x, 2)) - ideal), 1.5) << x;
  }
  call(h_drawclear, {I(0)});
  call(h_drawgradient, {I(0), I(0), text("random"), I(100), I(0), I(0x7F)});
  for (int x = 0; x < 8; x++) {
    double ideal = 127.0 * x / 7;
    uint32_t c = px(x, 5);  // every channel truncated, then 0 or 1 added
    EXPECT_LE(std::fabs(double(c & 255) - ideal), 1.0) << x;
    EXPECT_LE(c >> 16, 1u);
    EXPECT_LE(c >> 8 & 255, 1u);
  }
}

TEST_F(Draw, FarCoordinatesAndShortArgumentListsDrawNothingHarmful) {
  call(h_drawline, {I(-4000000000LL), I(1), I(4000000000LL), I(1)});
  EXPECT_EQ(px(3, 1), 0xFFFFFFu);
  call(h_drawcirclefilled, {I(0), I(0), I(1LL << 40)});
  EXPECT_EQ(px(7, 5), 0xFFFFFFu);
  call(h_drawclear, {I(0)});
  call(h_drawline, {I(0), I(0), I(5)});
  call(h_drawbox, {I(0), I(0), I(5)});
  call(h_drawcircle, {I(3), I(3)});
  call(h_drawpolygonfilled, {I(0), I(0), I(5)});
  call(h_drawflood, {I(3)});
  call(h_drawgradient, {I(3)});
  call(h_drawflood, {I(30), I(3)});  // seed outside the clip rectangle
  EXPECT_EQ(picture(), picture(0xABCDEF));
}

TEST_F(Draw, ColorgetStoresIntoVariables) {
  call(h_drawpixel, {I(0x123456), I(2), I(3)});
  EXPECT_EQ(call(h_colorget, {I(2), I(3), text("c")}), 0u);
  EXPECT_EQ(value_to_integer(ctx, var("c")), 0x123456);
  EXPECT_EQ(call(h_colorget, {I(2), I(3), text("r"), text("g"), text("b")}), 0u);
  EXPECT_EQ(value_to_integer(ctx, var("r")), 0x12);
  EXPECT_EQ(value_to_integer(ctx, var("b")), 0x56);
  EXPECT_EQ(call(h_colorget, {I(-1), I(3), text("c")}), 0u);
  EXPECT_EQ(value_to_integer(ctx, var("c")), 0xFFFFFF);
}

TEST_F(Draw, ElementQueriesReadTheImage) {
  var_set(*ctx, text("pic"), Value::from_handle(img->self));
  EXPECT_EQ(result(h_ele_sizex, {text("pic")}), 8);
  EXPECT_EQ(result(h_ele_sizey, {text("pic")}), 6);
  push(*ctx, text("pic"));
  h_ele_bits(*ctx);  // no frame: replaces the top cell
  EXPECT_EQ(int_at(0), 32);
  pop(*ctx);
}
