// Layers: sprites that float above the window frame without changing it.
//
// A LAYER element (type 21) holds a Layer record. The layers of a context
// are kept in drawing order (first = bottom) in its layers slot. When the
// first layer is redrawn a composite image of the frame's size is made;
// from then on every changed area of the frame is copied into the composite
// and the layers are drawn over it, and the window shows the composite.
// Separate layers (layerput) are drawn into the frame itself.
//
// Timers: motion, animation, expiry and panorama steps are computed by
// layers_tick() against the 32.32 engine clock. It only sets pending flags
// and counters. In a real run a worker thread calls it every millisecond
// under the registry lock; with a fixed clock no thread runs and the script
// thread calls it at each idle step and each drawing finish, so the steps
// land at the same points of the script on every run. The pending flags are
// handled (positions computed, frames put, layers redrawn) on the script
// thread only.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "graphics/image.h"
#include "vm/value.h"

namespace vm {
struct Interp;
}

namespace gfx {

// A rectangle or box part of a layer; corners relative to the position.
struct LayerShape {
  uint8_t enabled;
  uint32_t color;
  int32_t filter, tint;
  int16_t x1, y1, x2, y2;
  int16_t corner_w, corner_h;  // round parts
  int32_t thickness;           // boxes
};

enum class MotionKind : uint8_t { None, Straight, Curve, Path };

struct Layer {
  uint32_t self;
  vm::Interp* ctx;  // owning context; null once it closed
  uint32_t list_pos;
  uint8_t shown;
  uint64_t expiry;  // 32.32 clock time, 0 = none
  uint8_t expiry_pending;
  int32_t x, y;
  int32_t width, height;  // -1 until known
  int32_t bx1, by1, bx2, by2;  // covered window area, bx1 = -1: none
  vm::Value image;             // image or image list
  LayerShape rect, rect_round, box, box_round;
  int32_t repeat;              // layerrepeat: -1 for ever, 0 once, n > 0 n times

  // animation
  vm::Value frames;
  uint64_t anim_start, anim_next;
  int32_t frame, shown_frame, frame_count, first_frame, anim_repeat;
  int64_t anim_ticks, anim_passes, shown_ticks;  // frames advanced / shown so far
  uint8_t anim_pending, anim_active;
  uint64_t* frame_delays;  // per frame, 32.32 (0: default); owned

  // panorama
  vm::Value pano_source;
  double view_given[3], view_cur[3], view_target[3], view_from[3];  // pan, tilt, field of view
  uint64_t pano_start;
  double pano_ms;
  int32_t pano_steps, pano_step;
  uint8_t pano_pending, pano_active;

  // motion
  MotionKind motion;
  vm::Value path;
  uint64_t motion_start;
  int32_t step, steps;
  double ms_per_step;  // 0 = not moving
  int32_t motion_repeat;
  int64_t motion_passes;
  uint8_t motion_pending, motion_done;
  int32_t sx, sy, cx, cy, ex, ey;

  uint8_t busy, separate, changed, registered;

  // text
  vm::Value text;
  int32_t text_w, text_h;  // -1 = automatic
  int32_t text_off_x, text_off_y;
  int32_t first_line;
  uint32_t text_tint;
  int32_t filter;  // for the image and the text
  uint8_t op_and, op_or, op_xor;
  void* text_state;  // the text's private drawing state (LayerTextHooks)

  uint32_t name;  // interned name (one reference)
  char name_text[256];
};
static_assert(std::is_trivially_copyable_v<Layer>);

// What the text family provides for layer texts (graphics does not lay
// text out itself). capture copies the drawing target's font and text
// settings into a new private state; draw draws a layer's text into `dst`
// with the text box at (x, y), w x h, clipped to `within`.
struct LayerTextHooks {
  void* (*capture)(vm::Interp& ctx) = nullptr;
  void (*release)(void* state) = nullptr;
  void (*draw)(vm::Interp& ctx, Image& dst, Layer& layer, int64_t x, int64_t y, int32_t w, int32_t h,
               const Rect& within) = nullptr;
};
void set_layer_text_hooks(const LayerTextHooks& hooks);

// Registers the layer element type, the ele_ field, the context closer and
// the composite, idle and drawing-finish hooks.
void layers_init();

// The layer a value stands for, or null.
Layer* layer_of(vm::Value v);
// Makes a new layer named `name` (a text) appended to the context's list.
// Returns its handle (one reference, the caller's) or 0.
uint32_t layer_create(vm::Interp& ctx, vm::Value name);

// Copies the drawing target's text drawing state into the layer.
void layer_capture_text_state(Layer& l);
// Clears the changed bytes of the layers given (all when none).
void layers_clear_changed(vm::Interp& ctx, const std::vector<Layer*>& layers);

// Recomputes the bounds and marks the old and new areas changed.
void layer_redraw(Layer& l);
// Moves the layer to the top (above) or bottom of the list.
void layer_restack(Layer& l, bool above);
// Removes the layer from the composite (separate) and makes it draw into the frame.
void layer_set_separate(Layer& l);

// Timers. layer_start_timers registers the layer with the timer registry;
// layer_stop_timers ends its motion, animation, panorama steps and expiry.
void layer_start_timers(Layer& l);
void layer_stop_timers(Layer& l);
// Takes the layer out of the registry without ending its timers, so that
// the script thread can change its timer fields; layer_start_timers puts it back.
void layer_pause_timers(Layer& l);
// The timer step of one layer at `now` (the worker's work; exposed for tests).
void layer_tick(Layer& l, uint64_t now);
// Handles the pending flags of the context's layers on the script thread.
void layers_handle_pending(vm::Interp& ctx);

// Positions along a motion of n steps at step k (0 .. n - 1).
void motion_straight(int32_t sx, int32_t sy, int32_t ex, int32_t ey, int32_t k, int32_t n, int32_t& x, int32_t& y);
void motion_curve(int32_t sx, int32_t sy, int32_t cx, int32_t cy, int32_t ex, int32_t ey, int32_t k, int32_t n,
                  int32_t& x, int32_t& y);
// Step count of a motion of distance d with the given step (negative: -step
// steps given directly; 0 counts as 1).
int32_t motion_steps(double d, double step);

// Renders the panorama view of `l` from its current view values.
void panorama_render(Layer& l);
// Renders a cylindrical view of `source` into `view` (exposed for tests).
void panorama_project(const Image& source, Image& view, double pan, double tilt, double fov);

// The context's layers in drawing order (handles); empty when none.
const uint32_t* layer_list(vm::Interp& ctx, size_t& count);

}  // namespace gfx
