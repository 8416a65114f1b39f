// Timers and event triggers. A TIMER element measures elapsed time on the
// engine clock; a WHEN element names a label and the events that run it.
// Input handling, hotspots and sounds queue trigger events; the main loop
// fires at most one queued event before a token, calling or jumping to the
// trigger's label as if the script had done so there.
#pragma once

#include <cstdint>
#include <type_traits>
#include <string_view>
#include <vector>

#include "vm/value.h"

namespace vm {

struct Interp;

// The payload of a TIMER element (element type 11). Clock times and units
// are those of the engine clock (vm/clock.h).
struct Timer {
  uint64_t start;      // clock time at which the reading was 0
  uint64_t paused_at;  // clock time at which the timer was paused
  uint64_t offset;     // accumulated correction, added to the reading
  uint8_t running;     // 1 while running, 0 while paused
  uint8_t fresh;       // set by timerset/timerinit
};
// The record is made by clearing bytes (element_create).
static_assert(std::is_trivially_copyable_v<Timer>);

// Reading in clock units, and in milliseconds. The millisecond reading
// adds one clock unit before truncating: converting milliseconds to clock
// units truncates, so two clock times k ms apart may differ by one unit
// less than k ms would give, and the timer must still read k.
uint64_t timer_units(const Timer& t);
int64_t timer_ms(const Timer& t);
// Sets the reading to `ms` (negative: 0) and lets the timer run.
void timer_set_ms(Timer& t, int64_t ms);
// Stops the reading where it is; resuming continues from there, so the
// time spent paused never counts. Both do nothing when already so.
void timer_pause(Timer& t);
void timer_resume(Timer& t);
// Creates a TIMER element set to `ms` (the caller owns the one reference).
uint32_t timer_create(int64_t ms);

// Event keywords of a trigger, one bit each.
enum WhenFlag : uint32_t {
  kWhenAnything = 1u << 0,
  kWhenKey = 1u << 1,
  kWhenMouseDown = 1u << 2,
  kWhenMouseDown1 = 1u << 3,
  kWhenMouseDown2 = 1u << 4,
  kWhenMouseDown3 = 1u << 5,
  kWhenMouseMove = 1u << 6,
  kWhenMouseUp = 1u << 7,
  kWhenMouseUp1 = 1u << 8,
  kWhenMouseUp2 = 1u << 9,
  kWhenMouseUp3 = 1u << 10,
  kWhenSound = 1u << 11,
  kWhenUnique = 1u << 12,
};

struct WhenRect {
  int32_t x1 = -1, y1 = -1, x2 = -1, y2 = -1;  // all -1: unset
  bool set() const { return !(x1 == -1 && y1 == -1 && x2 == -1 && y2 == -1); }
};

// The payload of a WHEN element (element type 22).
struct When {
  uint32_t self;
  Interp* owner;          // the context whose list and queue hold it; null once retired
  bool enabled;
  uint32_t depth;         // scope depth at creation
  Value label;            // label name, or an ARRAY of label and arguments (holds a reference)
  bool is_goto;           // jumps instead of calling
  // The action is a command rather than a label. Its results are still
  // discarded when it returns: a trigger fires between any two tokens, and
  // results left there would become arguments of the interrupted statement.
  // A command that replaces the program (scriptlink) leaves no frame to close.
  bool keep_results;
  bool timed;             // "after" or "always": events wait until they are due
  bool repeat;            // "always": an event stays queued and comes due every period
  uint64_t period;        // clock units
  int32_t key;            // key code when the arguments name a key, else 0
  uint32_t flags;         // WhenFlag bits
  WhenRect inside, outside;
  bool has_mask;
  uint32_t mask_image;    // IMAGE handle of "mask" (holds a reference)
  uint32_t mask_value;    // the mask pixel value that counts as inside (white unless given)
  int32_t mask_x, mask_y; // the window point at which the mask's pixel (0, 0) lies (0, 0 for whennew)
  bool negated;           // the region is everything the rectangles and the mask leave out
  bool region_only;       // a region named without any event keyword
  bool pointer_in;        // region-only triggers: the pointer was inside at the last look
  uint32_t queued;        // events of this trigger in the queue
  Timer clock;            // reads 0 when the trigger was (re)defined
  uint32_t line;          // source line and file of the statement that defined it:
  Value file;             // where a command action's errors are reported (holds a reference)
};
// The record is made by clearing bytes (element_create).
static_assert(std::is_trivially_copyable_v<When>);

// The record of a WHEN handle, or null.
When* when_of(uint32_t handle);

// Capacity of a context's event queue.
inline constexpr uint32_t kTriggerQueueSize = 2048;

// The context's triggers (WHEN handles, oldest first), scanned by the
// input handling.
const std::vector<uint32_t>& trigger_list(Interp& ctx);

// Queues an event of the trigger, due after its period; dropped when 2048
// are queued. A unique trigger keeps one event: a further one only updates
// the values of the queued one. Returns false when it was dropped (the
// queue is full, or the trigger is not the context's).
bool queue_trigger_event(Interp& ctx, When& when, uint32_t value1, uint32_t value2);

// Number of queued trigger events of the context.
uint32_t queued_trigger_events(Interp& ctx);

// Key name to key code for whennew's key words (set by the input
// handling; null: no key names). A word that gives 0 has no effect.
extern int32_t (*g_key_from_name)(std::string_view name);

// Triggers made by other families (hotspots) rather than by whennew. The
// action is a value as whennew's label: a name, or an ARRAY of a name and
// arguments; a command name runs that command with the arguments. The new
// trigger is enabled, belongs to the context at its current scope depth and
// reports errors at the current statement; the caller sets its events,
// region and mask in the record, and owns the one reference (releasing the
// last one retires it).
uint32_t when_make(Interp& ctx, Value action);
// Enables or disables a trigger; disabling drops its queued events.
void when_set_enabled(When& w, bool enabled);
// Takes a trigger out of its context's list and queue for good.
void when_retire(When& w);
// Drops the interrupted statement before a jump from between two tokens,
// as a goto trigger does: the stack goes back to where the current
// subroutine started (empty at script level).
void trigger_unwind_for_jump(Interp& ctx);

// Registers the element types, conversions, the system variables var_timer
// and var_timeraw, the dispatcher (g_host.fire_trigger) and the context
// closer. vm_init() calls it.
void triggers_register();

// What triggers ask of the drawing family, which sets these when it
// registers: the clip rectangle of the context's drawing target (false when
// there is none; "inside" and "outside" without numbers use it), and a
// colour argument read from ctx.top[i] onward before `end` (the mask value
// of "mask"), advancing `i` past it.
struct TriggerDrawing {
  bool (*target_clip)(Interp& ctx, WhenRect& r) = nullptr;
  uint32_t (*read_color)(Interp& ctx, uint32_t end, uint32_t& i) = nullptr;
};
extern TriggerDrawing g_trigger_drawing;

}  // namespace vm
