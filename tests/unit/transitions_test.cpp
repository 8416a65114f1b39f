// The transition plans: the sparkle's register order and the step of each
// cell of the cell effects, over grids of many shapes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "graphics/transitions.h"

namespace {

TEST(Transitions, SparkleRevealsEveryCellOnceInMaxStepsOfMinCells) {
  for (auto [w, h] : {std::pair{10, 7}, {1, 1}, {1, 9}, {2, 2}, {33, 31}, {64, 1}, {960, 540}}) {
    gfx::SparkleOrder order(uint64_t(w) * h);
    std::vector<int> seen(size_t(w) * h, 0);
    for (int step = 0; step < std::max(w, h); step++)
      for (int i = 0; i < std::min(w, h); i++) seen[order.next()]++;
    for (size_t c = 0; c < seen.size(); c++) ASSERT_EQ(seen[c], 1) << w << "x" << h << " cell " << c;
  }
}

// Each feedback mask gives the full period: 2^b - 1 draws over 2^b - 1
// values give each once.
TEST(Transitions, SparkleMasksHaveFullPeriod) {
  for (int bits = 1; bits <= 20; bits++) {
    const uint64_t n = (uint64_t(1) << bits) - 1;
    gfx::SparkleOrder order(n);
    std::vector<bool> seen(n, false);
    for (uint64_t i = 0; i < n; i++) {
      uint64_t c = order.next();
      ASSERT_FALSE(seen[c]) << bits << " bits";
      seen[c] = true;
    }
  }
}

// Every cell of every grid belongs to a step that exists, so no cell is left
// unrevealed; the sweeping effects reveal something at every step.
TEST(Transitions, EveryCellHasAStepOfItsEffect) {
  const int sizes[] = {1, 2, 3, 4, 5, 7, 8, 13};
  for (int e = 1; e < gfx::kEffectCount; e++) {
    if (e == gfx::kEffectSparkle || e == gfx::kEffectBlend || e == gfx::kEffectSlideUpDown ||
        e == gfx::kEffectSlideDownUp || e == gfx::kEffectSlideLeftRight || e == gfx::kEffectSlideRightLeft)
      continue;
    for (int w : sizes)
      for (int h : sizes) {
        const int64_t steps = gfx::cell_steps(e, w, h);
        std::vector<int> per_step(size_t(steps), 0);
        for (int r = 0; r < h; r++)
          for (int c = 0; c < w; c++) {
            const int64_t k = gfx::cell_step(e, w, h, c, r, 2, 3);
            ASSERT_TRUE(k >= 0 && k < steps) << gfx::effect_name(e) << " " << w << "x" << h << " cell " << c << "," << r;
            per_step[size_t(k)]++;
          }
        if (gfx::effect_has_edge(e)) {
          for (int64_t k = 0; k < steps; k++) EXPECT_GT(per_step[size_t(k)], 0) << gfx::effect_name(e) << " step " << k;
        }
      }
  }
}

// The clocks find a cell's step without atan2 where they can, a row at a
// time in the plan; every cell must still get the step of its angle
// computed with it (a row from its first cell and from its fourth), on
// the grids of a full frame at cells of 1, 2 and 8 and on small and odd ones.
TEST(Transitions, ClockStepsAreThoseOfTheCellsAngles) {
  struct Grid {
    int64_t w, h;
    int32_t cw, ch;
  };
  for (const Grid g : {Grid{1920, 1080, 1, 1}, {960, 540, 2, 2}, {240, 135, 8, 8}, {241, 136, 3, 5}, {13, 7, 2, 3},
                       {100, 100, 1, 1}, {1, 1, 2, 2}, {2, 1, 1, 1}, {4096, 3, 1, 7}}) {
    const int64_t n = 2 * (g.h + g.w);
    std::vector<uint32_t> row(size_t(g.w)), from4(size_t(g.w));
    for (const int e : {24, 32}) {
      int64_t wrong = 0;
      for (int64_t r = 0; r < g.h; r++) {
        gfx::clock_row_steps(e, g.w, g.h, r, 0, g.w, g.cw, g.ch, row.data());
        const int64_t skip = std::min<int64_t>(3, g.w);
        gfx::clock_row_steps(e, g.w, g.h, r, skip, g.w - skip, g.cw, g.ch, from4.data());
        for (int64_t c = 0; c < g.w; c++) {
          const double dx = double(c - g.w / 2) * g.cw, dy = double(r - g.h / 2) * g.ch;
          int64_t want = 0;
          if (dx != 0 || dy != 0) {
            double a = std::atan2(dx, -dy);
            if (e == 32) a = -a;
            if (a < 0) a += 2 * M_PI;
            want = std::clamp<int64_t>(int64_t(a / (2 * M_PI) * double(n)), 0, n - 1);
          }
          wrong += gfx::cell_step(e, g.w, g.h, c, r, g.cw, g.ch) != want;
          wrong += int64_t(row[size_t(c)]) != want;
          wrong += c >= skip && int64_t(from4[size_t(c - skip)]) != want;
        }
      }
      EXPECT_EQ(wrong, 0) << gfx::effect_name(e) << " " << g.w << "x" << g.h << " cells " << g.cw << "x" << g.ch;
    }
  }
}

}  // namespace
