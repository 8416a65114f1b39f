// The transition plans: the sparkle's register order and the step of each
// cell of the cell effects, over grids of many shapes.
#include <gtest/gtest.h>

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

}  // namespace
