// Transitions: a new picture brought onto the drawing target step by step.
//
// Most effects put the image onto the target at once, unmarked, and then
// let the window see it a few cells at a time: each step marks a set of
// cells changed (fine-grain mode) and the flush copies exactly those. Which
// step reveals a cell is a function of the cell (cell_step), so every cell
// of every grid is revealed exactly once, whatever the grid's size. The
// sparkle takes its cells from a Galois LFSR instead. The slides, the blend
// and the image-pattern effect leave the target as it is at the start and
// draw during the steps from a copy of the new picture under the image's
// visible area (made by putting the image into it), the blend also from one
// of the old.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "graphics/image.h"

namespace vm {
struct Interp;
}

namespace gfx {

inline constexpr int kEffectCount = 37;
// Effect numbers that are not plain cell reveals.
inline constexpr int kEffectPattern = 0, kEffectSlideUpDown = 19, kEffectSparkle = 20, kEffectSlideDownUp = 33,
                     kEffectSlideLeftRight = 34, kEffectSlideRightLeft = 35, kEffectBlend = 36;

// The effect of a name ("leftright" ... "blend"), case-insensitive; -1 when
// the name is none of them.
int effect_from_name(std::string_view name);
const char* effect_name(int effect);

// The LFSR feedback mask of a register of `bits` bits (1..32).
uint32_t sparkle_mask(int bits);
// The sparkle's order of cells 0..count-1: each value once, in a
// scrambled order (a maximal-length Galois LFSR, values beyond the count
// skipped).
class SparkleOrder {
 public:
  explicit SparkleOrder(uint64_t count);
  uint64_t next();

 private:
  uint64_t count_, reg_ = 1, mask_, low_;
};

// The steps of a cell effect (not the slides, sparkle, blend or pattern)
// over W x H cells of cw x ch pixels, and the step in 0..steps-1 at which
// cell (c, r) is revealed.
int64_t cell_steps(int effect, int64_t w, int64_t h);
int64_t cell_step(int effect, int64_t w, int64_t h, int64_t c, int64_t r, int32_t cw, int32_t ch);
// cell_step of the clock (24) or anticlock (32) for cells c0 .. c0 + count - 1
// of row r, into out: the plan of a whole frame, without atan2 per cell.
void clock_row_steps(int effect, int64_t w, int64_t h, int64_t r, int64_t c0, int64_t count, int32_t cw, int32_t ch,
                     uint32_t* out);
// Whether the effect sweeps and so shows an edge: the cells of the next
// step drawn in the edge colour before they are revealed.
bool effect_has_edge(int effect);

// What a transition starts from.
struct TransitionSpec {
  int effect = 1;
  const Image* image = nullptr;    // the new picture
  const Image* pattern = nullptr;  // effect 0
  int64_t x = 0, y = 0;            // where the image's top-left corner goes
  int32_t cell_w = 2, cell_h = 2;
  uint64_t duration = 0;           // 32.32 seconds, 0: a step per check
  bool edge = false;
  uint32_t edge_color = 0;
};

class Transition;
// Starts a transition on the context's drawing target: pending changes are
// shown first, then the image is put (unmarked) or copies are taken. The
// caller owns the result (transition_delete); it needs the image no more.
Transition* transition_begin(vm::Interp& ctx, const TransitionSpec& spec);
// Performs at most one step (idling once when the next one is not due
// yet); false once the transition has finished or the program is stopping.
bool transition_check(vm::Interp& ctx, Transition& t);
// The step count (0 until the blend's first step sets it) and steps done.
int64_t transition_steps(const Transition& t);
int64_t transition_done(const Transition& t);
void transition_delete(Transition* t);

// Registers the FADE element clean-up and the closer of the context's cell
// sizes (transition_commands.cpp). host::engine_init() calls it.
void transitions_register();

}  // namespace gfx
