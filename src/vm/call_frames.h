// Call frames: a label call's scope while nothing needs it as a table.
//
// A call binds its argument count, its arguments, the position and stack
// depth to return to, and the subroutine adds a few locals: most scopes
// hold a handful of items, are read by name only from inside and are gone
// at the return. Such a scope is kept as a call frame, a short unsorted
// list of the items its scope table would hold, in blocks the context
// owns; the table of scopes has no cell for its depth meanwhile. Whatever
// wants the scope as a table (scope_table: `set` of a new name,
// with-records, triggers, deletions, the debug views) turns the frame into
// that table first, and the scope lives on as a table.
//
// A frame's values hold references as a table's do. Its keys mostly hold
// none: they are integers, the player's own names, or names that the
// running code's words give (the argument names of a declare, a local's
// name), and the program's symbol table holds those while it is loaded
// (unloading drops the frames first). A key that may be any text (a name
// that `set` makes) holds a reference, marked in `referenced`. The cells of a frame stay where they are while
// it lives; every change of a frame's keys (a call, a return, a new local,
// the change into a table) moves g_shape_generation, as a table's would.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "vm/interp.h"
#include "vm/variables.h"

namespace vm {

// The items a frame holds at most; a scope that needs more is a table.
inline constexpr uint32_t kFrameItems = 12;

struct CallFrame {
  uint32_t count;                // items in use; 0: the depth has no frame
  uint32_t referenced;           // bit i: items[i].key holds a reference
  ArrayItem items[kFrameItems];  // the scope table's items, in any order
};

struct CallFrames {
  static constexpr uint32_t kBlock = 64;
  // Blocks of frames by depth, made as calls first reach them; a block
  // never moves, so cells found in a frame stay valid while it lives.
  std::vector<std::unique_ptr<CallFrame[]>> blocks;
};

// The frame of `depth` when that scope is one, else null.
[[gnu::always_inline]] inline CallFrame* call_frame(const Interp& ctx, uint32_t depth) {
  const CallFrames* f = ctx.call_frames;
  const uint32_t block = depth / CallFrames::kBlock;
  if (!f || block >= f->blocks.size()) return nullptr;
  CallFrame* frame = &f->blocks[block][depth % CallFrames::kBlock];
  return frame->count ? frame : nullptr;
}

// The value cell of `key` in a frame, or null.
[[gnu::always_inline]] inline Value* frame_find(CallFrame* frame, Value key) {
  for (uint32_t i = 0; i < frame->count; i++)
    if (frame->items[i].key == key) return &frame->items[i].value;
  return nullptr;
}

// The empty frame for a new scope at `depth`, to be filled by the call;
// null when memory runs out.
CallFrame* frame_for_call_slow(Interp& ctx, uint32_t depth);  // makes the blocks
[[gnu::always_inline]] inline CallFrame* frame_for_call(Interp& ctx, uint32_t depth) {
  CallFrames* f = ctx.call_frames;
  const uint32_t block = depth / CallFrames::kBlock;
  if (!f || block >= f->blocks.size()) [[unlikely]]
    return frame_for_call_slow(ctx, depth);
  CallFrame* frame = &f->blocks[block][depth % CallFrames::kBlock];
  return frame->count == 0 ? frame : nullptr;
}
// The cell of `key` in a frame, put there (null) when missing; null when
// the frame is full. Unless `reference`, the key must be a name of the
// running code's words.
Value* frame_get(CallFrame* frame, Value key, bool reference);
// Turns the frame of `depth` into its scope table, in a new cell of the
// table of scopes. False, the frame left as it was, when memory runs out
// or the table of scopes holds a value for the depth already.
bool frame_to_table(Interp& ctx, uint32_t depth, CallFrame* frame);
// Ends a frame: the frame goes, then its values are released, last first,
// as a scope table's are.
void frame_leave(Interp& ctx, CallFrame* frame);
// Releases every frame and the blocks (the context's teardown).
void frames_free(Interp& ctx);

}  // namespace vm
