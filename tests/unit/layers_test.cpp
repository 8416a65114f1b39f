// The layer timers and motion formulas: step positions, step counts, the
// repeat rule of animations and motions.
#include <cstring>

#include <gtest/gtest.h>

#include "graphics/layers.h"
#include "vm/clock.h"

namespace {

TEST(LayerMotion, StraightStepsAreIntegerAndEndExactly) {
  struct Case {
    int32_t k, n, x, y;
  } cases[] = {
      {0, 5, 0, 10}, {1, 5, 25, 7}, {2, 5, 50, 5}, {3, 5, 75, 2}, {4, 5, 100, 0}, {9, 5, 100, 0}, {0, 1, 100, 0},
  };
  for (const Case& c : cases) {
    int32_t x, y;
    gfx::motion_straight(0, 10, 100, 0, c.k, c.n, x, y);
    EXPECT_EQ(x, c.x) << c.k;
    EXPECT_EQ(y, c.y) << c.k;
  }
}

TEST(LayerMotion, CurvePassesThroughTheControlPointAtMidway) {
  int32_t x, y;
  gfx::motion_curve(0, 0, 40, -20, 80, 30, 0, 9, x, y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  // theta = pi/4 at k = 4 of 9.
  gfx::motion_curve(0, 0, 40, -20, 80, 30, 4, 9, x, y);
  EXPECT_NEAR(x, 40, 1);
  EXPECT_NEAR(y, -20, 1);
  gfx::motion_curve(0, 0, 40, -20, 80, 30, 8, 9, x, y);
  EXPECT_EQ(x, 80);
  EXPECT_EQ(y, 30);
}

TEST(LayerMotion, StepCounts) {
  EXPECT_EQ(gfx::motion_steps(100, 5), 20);
  EXPECT_EQ(gfx::motion_steps(101, 5), 21);
  EXPECT_EQ(gfx::motion_steps(100, -8), 8);
  EXPECT_EQ(gfx::motion_steps(7, 0), 7);
  EXPECT_EQ(gfx::motion_steps(1e300, 1e-300), 1000000);  // bounded
}

// Runs the timer of a 4-frame animation without delays 1 ms at a time.
struct AnimRun {
  int frames_shown = 0;
  int last_frame = -1;
  uint64_t ended_ms = 0;
};
AnimRun run_animation(int32_t repeat) {
  gfx::Layer l;
  std::memset(&l, 0, sizeof l);
  l.frame = l.shown_frame = -1;
  l.frame_count = 4;
  l.anim_repeat = repeat;
  l.anim_active = 1;
  l.anim_next = vm::ms_to_clock(1000);
  AnimRun r;
  for (uint64_t ms = 1000; ms < 3000 && l.anim_active; ms++) {
    const int64_t before = l.anim_ticks;
    gfx::layer_tick(l, vm::ms_to_clock(ms));
    if (l.anim_ticks != before) r.frames_shown++;
    if (!l.anim_active) r.ended_ms = ms - 1000;
  }
  r.last_frame = l.frame;
  return r;
}

TEST(LayerTimers, AnimationRepeatCountsAndThe33msDefault) {
  AnimRun once = run_animation(0);
  EXPECT_EQ(once.frames_shown, 4);
  EXPECT_EQ(once.last_frame, 3);
  AnimRun three = run_animation(3);
  EXPECT_EQ(three.frames_shown, 12);
  EXPECT_EQ(three.last_frame, 3);
  // Frame k appears at 33 k ms (rounded up to the whole ms); the end comes
  // when the twelfth frame's time is up.
  EXPECT_EQ(three.ended_ms, 396u);
}

TEST(LayerTimers, MotionEndsOnTheLastStepAfterItsPasses) {
  gfx::Layer l;
  std::memset(&l, 0, sizeof l);
  l.steps = 4;
  l.step = -1;
  l.ms_per_step = 10;
  l.motion_repeat = 2;
  int changes = 0;
  for (uint64_t ms = 0; ms < 200 && l.ms_per_step > 0; ms++) {
    const int32_t before = l.step;
    gfx::layer_tick(l, vm::ms_to_clock(ms) + 1);
    if (l.step != before) changes++;
  }
  EXPECT_EQ(l.ms_per_step, 0);
  EXPECT_EQ(l.step, 3);
  EXPECT_EQ(changes, 8);
}

}  // namespace
