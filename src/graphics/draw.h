// The drawing target, the window frame, the changed-area list and the colour
// dictionary of a context; the draw and colour commands live in draw.cpp.
#pragma once

#include <cstdint>
#include <vector>

#include "graphics/image.h"

namespace vm {
struct Interp;
}

namespace gfx {

inline constexpr size_t kMaxChanged = 8191;

// Registers the image clean-up, the computed draw and colour variables, the
// measurement target and the context closer; resets the colour dictionary
// to its built-in names. host::engine_init() calls it.
void gfx_init();

// The window frame of a context, created at the first use with
// var_windowsizex x var_windowsizey x var_windowbitdepth (640 x 480 x 32 by
// default). Null when it cannot be created.
Image* frame(vm::Interp& ctx);
// The image the draw commands work on: the chosen image while it lives,
// else the frame.
Image* target(vm::Interp& ctx);
// Makes the frame anew at the window size and depth with the old picture
// copied in at 0, 0 (after windowsize on an open window).
void remake_frame(vm::Interp& ctx);
// Runs before the frame is made: the window glue settles the window's size
// and depth variables there, so the frame has the size the window opens
// with. Without a hook the variables are taken as they are.
using FrameHook = void (*)(vm::Interp& ctx);
void set_frame_hook(FrameHook settle);
// Makes the frame anew (as remake_frame) when it was made before the window
// opened at another size or depth than the window variables now give.
void fit_frame(vm::Interp& ctx);
// Chooses the drawing target (0: the frame again).
void set_target(vm::Interp& ctx, uint32_t image_handle);

// The changed-area list of the frame.
struct ChangedList {
  std::vector<Rect> rects;
  bool fine_grain = false;
};
ChangedList& changed(vm::Interp& ctx);
// Adds a rectangle when `img` is the frame (see the rules in draw.cpp).
void mark_changed(vm::Interp& ctx, const Image& img, int64_t x1, int64_t y1, int64_t x2, int64_t y2,
                  bool clip_to_region);
void mark_all_changed(vm::Interp& ctx);
void set_fine_grain(vm::Interp& ctx);
// Marks many pieces at once in fine-grain mode, each clipped to the clip
// rectangle, for callers whose pieces are already joined and do not
// overlap one another (a transition step's cells): they are appended
// without looking for joins, which could find none. Falls back to
// mark_changed one by one when the list would overflow.
void mark_changed_pieces(vm::Interp& ctx, const Image& img, const Rect* pieces, size_t count);

// Presents the changed rectangles (last first) of the shown image. The
// window installs it; finish_drawing calls it when the list is not empty and
// then empties the list and clears the fine-grain flag. Without a hook the
// list keeps accumulating.
using FlushHook = void (*)(vm::Interp& ctx, Image& shown, const Rect* rects, size_t count);
void set_flush_hook(FlushHook hook);
void finish_drawing(vm::Interp& ctx);

// Drawing that shows its changes later than it makes them: a transition
// stepping faster than a display can show holds its revealed cells back
// and marks them when `flush(ctx, key)` is called. Each context holds at
// most one such drawing; finish_drawing and present_deferred call its flush
// first, so what it holds back reaches the window with the next present,
// at the next idle step and before the snapshot at the end of a run.
using DeferredFlush = void (*)(vm::Interp& ctx, uint64_t key);
void set_deferred_present(vm::Interp& ctx, DeferredFlush flush, uint64_t key);
// Presents what the held-back drawing holds, if any.
void present_deferred(vm::Interp& ctx);

// The composite of the layers (graphics/layers.h). compose brings the
// composite up to date within the changed rectangles and returns it, or
// null while there is none (the window then shows the frame); shown gives
// it without composing; frame_remade drops it when the frame is made anew.
struct CompositeHooks {
  Image* (*compose)(vm::Interp& ctx, const Rect* rects, size_t count) = nullptr;
  Image* (*shown)(vm::Interp& ctx) = nullptr;
  void (*frame_remade)(vm::Interp& ctx) = nullptr;
};
void set_composite_hooks(const CompositeHooks& hooks);
// What the window shows: the composite once layers exist, else the frame.
Image* shown_image(vm::Interp& ctx);

// The colour reader: reads argument i of n (advancing i) as a colour.
uint32_t read_color(vm::Interp& ctx, uint32_t n, uint32_t& i);

}  // namespace gfx
