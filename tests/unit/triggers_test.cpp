// Timers, event triggers, their queue and its dispatch, on the fixed clock.
#include "graphics/image.h"
#include "vm/clock.h"
#include "vm/commands.h"
#include "vm/triggers.h"
#include "vm_fixture.h"

using namespace vm;

namespace {

// What the per-token hook does: queue one event of the first trigger once
// the script is at least `g_queue_at_depth` subroutines deep, or once the
// stack holds at least `g_queue_at_cells` cells.
uint32_t g_queue_at_depth = 0;
uint32_t g_queue_at_cells = 0;
bool g_queued = false;

void queue_when_reached(Interp& c) {
  if (g_queued || trigger_list(c).empty()) return;
  if (c.scope_depth < g_queue_at_depth || stack_depth(c) < g_queue_at_cells) return;
  g_queued = queue_trigger_event(c, *when_of(trigger_list(c)[0]), 2, 0);
}

int32_t test_key_names(std::string_view name) { return name == "esc" ? 27 : 0; }

}  // namespace

class Triggers : public VmTest {
 protected:
  void SetUp() override {
    clock_init(true);  // before vm_init, which starts var_timer
    VmTest::SetUp();
    g_queue_at_depth = g_queue_at_cells = 0;
    g_queued = false;
  }
  void TearDown() override {
    g_key_from_name = nullptr;
    VmTest::TearDown();
    clock_init(false);
  }
  // whennew with the arguments in script order.
  When* make(std::initializer_list<Value> args) {
    run0(h_whennew, args);
    Value v = var(element_text(*args.begin()));
    return v.is_element() ? when_of(v.handle()) : nullptr;
  }
  Timer* timer(std::string_view name) {
    Value v = var(name);
    return static_cast<Timer*>(element_lookup(v, kTypeTimer));
  }
  int64_t reading(std::string_view name) { return value_to_integer(ctx, var(name)); }

  // A program whose label `h` reports that it ran.
  static constexpr const char* kHandler = R"(
    LABEL:h
      TAIL TAIL "fired" consolewrite CALL_POP
      RETURN)";
  std::string run_with_handler(std::string main) { return run(main + " END " + kHandler); }
};

// --- timers ---------------------------------------------------------------------------

TEST_F(Triggers, TimerReadsWhatItWasSetToAndCountsExactMilliseconds) {
  run0(h_timerset, {T("t"), I(1500)});
  EXPECT_EQ(reading("t"), 1500);
  // Odd steps: clock units are truncated milliseconds, the reading is not.
  for (int ms : {1, 7, 333}) {
    int64_t before = reading("t");
    clock_advance_ms(uint64_t(ms));
    EXPECT_EQ(reading("t"), before + ms);
  }
  // No value sets it back to 0; a numeric text is a number of ms.
  run0(h_timerset, {T("t")});
  EXPECT_EQ(reading("t"), 0);
  run0(h_timerset, {T("t"), T("250")});
  EXPECT_EQ(reading("t"), 250);
  run0(h_timerset, {T("t"), I(-40)});
  EXPECT_EQ(reading("t"), 0);
}

TEST_F(Triggers, PausedTimeDoesNotCount) {
  run0(h_timerinit, {T("t")});
  clock_advance_ms(1000);
  run0(h_timerset, {T("t"), T("off")});
  clock_advance_ms(2000);
  EXPECT_EQ(reading("t"), 1000);
  run0(h_timerset, {T("t"), T("on")});
  EXPECT_EQ(reading("t"), 1000);
  clock_advance_ms(500);
  EXPECT_EQ(reading("t"), 1500);
  // A second pause and resume, the truth of other values, and resuming a
  // running timer (nothing happens).
  run0(h_timerset, {T("t"), Value::null()});
  clock_advance_ms(700);
  run0(h_timerset, {T("t"), T("yes")});  // a text that reads as 0: false
  EXPECT_EQ(reading("t"), 1500);
  run0(h_timerset, {T("t"), T("ON")});
  run0(h_timerset, {T("t"), T("on")});
  clock_advance_ms(100);
  EXPECT_EQ(reading("t"), 1600);
}

TEST_F(Triggers, TimerVariablesAndTimerfree) {
  // timerinit makes its variable in the current scope; timerfree leaves
  // variables that hold no timer alone.
  run(R"(
      TAIL 5 keep SET
      TAIL TAIL sub CALL_POP  END
    LABEL:sub
      TAIL TAIL mine timerinit CALL_POP
      END)");
  EXPECT_EQ(ctx->scope_depth, 2u);
  ASSERT_NE(timer("mine"), nullptr);
  EXPECT_EQ(table_find(*scope_table(*ctx, 2, false), T("mine"))->handle(), var("mine").handle());
  run0(h_timerinit, {T("t1"), T("t2")});
  run0(h_timerfree, {T("keep"), T("mine"), T("t*")});
  EXPECT_EQ(var_find(*ctx, T("mine")), nullptr);
  EXPECT_EQ(var_find(*ctx, T("t1")), nullptr);
  EXPECT_EQ(var_find(*ctx, T("t2")), nullptr);
  EXPECT_EQ(reading("keep"), 5);
}

TEST_F(Triggers, TimerSystemVariablesCountFromTheEngineStart) {
  clock_advance_ms(1234);
  EXPECT_EQ(N(sysvar_handler(SV_var_timer), {}), 1234);
  EXPECT_EQ(N(sysvar_handler(SV_var_timeraw), {}), int64_t(ms_to_clock(1234)));
}

// --- whennew -------------------------------------------------------------------------------

TEST_F(Triggers, KeywordsLabelsAndRegions) {
  g_key_from_name = test_key_names;
  When* w = make({T("k"), T("esc"), T("mousedown1"), T("after"), I(250), T("unique"), T("gosub"), T("h")});
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->key, 27);
  EXPECT_EQ(w->flags, uint32_t(kWhenMouseDown1 | kWhenUnique));
  EXPECT_TRUE(w->timed && w->enabled && !w->repeat && !w->is_goto && !w->region_only && !w->keep_results);
  EXPECT_EQ(w->period, ms_to_clock(250));
  EXPECT_EQ(w->depth, 1u);
  EXPECT_EQ(element_text(w->label), "h");

  // A region without an event; the drawing area when no numbers follow.
  w = make({T("r"), T("inside"), I(10), I(20), I(30), I(40), T("outside"), T("goto"), T("h")});
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->region_only && w->is_goto);
  EXPECT_EQ(w->inside.x1 + w->inside.y1 + w->inside.x2 + w->inside.y2, 100);
  EXPECT_EQ(w->outside.x2, 639);
  EXPECT_EQ(w->outside.y2, 479);

  // An action that is a command: scriptlink:(other).
  Value action = call(h_arraylabel, {T("scriptlink"), T("other")});
  w = make({T("c"), T("key"), T("gosub"), action});
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->keep_results);
  EXPECT_FALSE(w->region_only);

  // Fewer than four arguments: nothing made, nothing left.
  run0(h_whennew, {T("x"), T("mousedown"), T("h")});
  EXPECT_EQ(var_find(*ctx, T("x")), nullptr);
  EXPECT_EQ(trigger_list(*ctx).size(), 3u);
}

TEST_F(Triggers, MaskHoldsItsImageUntilTheTriggerGoes) {
  uint32_t img = gfx::image_create(8, 8, 24, nullptr, nullptr);
  Value image = Value::from_handle(img);
  When* w = make({T("m"), T("mask"), I(0xFF0000), image, T("gosub"), T("h")});
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->has_mask && w->region_only);
  EXPECT_EQ(w->mask_image, img);
  EXPECT_EQ(w->mask_value, 0xFF0000u);
  EXPECT_EQ(element_entry(img)->refs, 2);
  // Redefining drops the old reference and takes a new one; the default
  // colour is white.
  w = make({T("m"), T("mask"), image, T("mousedown"), T("gosub"), T("h")});
  EXPECT_EQ(element_entry(img)->refs, 2);
  EXPECT_EQ(w->mask_value, 0xFFFFFFu);
  EXPECT_FALSE(w->region_only);
  run0(h_whenfree, {T("m")});
  EXPECT_EQ(element_entry(img)->refs, 1);
  element_release(img);
}

TEST_F(Triggers, RedefiningReusesTheTriggerAndAnArrayNamesSeveral) {
  When* w = make({T("t"), T("mousedown"), T("gosub"), T("h")});
  uint32_t handle = w->self;
  ASSERT_TRUE(queue_trigger_event(*ctx, *w, 2, 0));
  w = make({T("t"), T("mouseup"), T("goto"), T("h")});
  EXPECT_EQ(w->self, handle);
  EXPECT_EQ(w->flags, uint32_t(kWhenMouseUp));
  EXPECT_TRUE(w->is_goto);
  EXPECT_EQ(queued_trigger_events(*ctx), 0u);
  EXPECT_EQ(trigger_list(*ctx).size(), 1u);

  Value names = call(h_array, {T("a"), T("b")});
  run0(h_set, {T("both"), names});
  run0(h_whennew, {T("both"), T("key"), T("gosub"), T("h")});
  EXPECT_EQ(element_type_of(var("a")), kTypeWhen);
  EXPECT_EQ(element_type_of(var("b")), kTypeWhen);
  EXPECT_EQ(trigger_list(*ctx).size(), 3u);
  run0(h_whendisable, {T("both")});
  EXPECT_FALSE(when_of(var("a").handle())->enabled);
  run0(h_whenenable, {T("a*")});
  EXPECT_TRUE(when_of(var("a").handle())->enabled);
  EXPECT_FALSE(when_of(var("b").handle())->enabled);
}

// --- the queue and firing ------------------------------------------------------------------

TEST_F(Triggers, ScriptLevelTriggerWaitsForTheSubroutineUnlessWheninsub) {
  const char* program = R"(
      TAIL TAIL sub CALL_POP
      TAIL TAIL "back" consolewrite CALL_POP
      END
    LABEL:sub
      TAIL TAIL "in sub" consolewrite CALL_POP
      TAIL TAIL "still in sub" consolewrite CALL_POP
      RETURN)";
  make({T("t"), T("mousedown"), T("gosub"), T("h")});
  g_host.tick = queue_when_reached;
  g_queue_at_depth = 2;
  EXPECT_EQ(run_with_handler(program), "in sub\nstill in sub\nfired\nback\n");
  EXPECT_EQ(depth(), 0u);
  EXPECT_EQ(ctx->frame_depth, 0u);

  g_queued = false;
  run0(sysvar_handler(SV_var_wheninsub), {I(1)});
  EXPECT_EQ(run_with_handler(program), "fired\nin sub\nstill in sub\nback\n");
  EXPECT_EQ(queued_trigger_events(*ctx), 0u);
}

TEST_F(Triggers, FiringBetweenTheTokensOfAStatement) {
  // A call leaves the interrupted statement whole; a jump drops it.
  const char* program = R"(
      TAIL TAIL "c" "b" "a" consolewrite CALL_POP
      END
    LABEL:jump
      TAIL TAIL "jumped" consolewrite CALL_POP)";
  g_host.tick = queue_when_reached;
  g_queue_at_cells = 4;  // two markers and two texts
  make({T("t"), T("mousedown"), T("gosub"), T("h")});
  EXPECT_EQ(run_with_handler(program), "fired\nabc\n");
  EXPECT_EQ(depth(), 0u);

  g_queued = false;
  make({T("t"), T("mousedown"), T("goto"), T("jump")});
  EXPECT_EQ(run_with_handler(program), "jumped\n");
  EXPECT_EQ(depth(), 0u);
  EXPECT_EQ(ctx->frame_depth, 0u);
  EXPECT_EQ(ctx->stop, 0);
}

TEST_F(Triggers, QueueHoldsAtMost2048Events) {
  When* w = make({T("t"), T("mousemove"), T("gosub"), T("h")});
  for (uint32_t i = 0; i < kTriggerQueueSize; i++) ASSERT_TRUE(queue_trigger_event(*ctx, *w, 8, i));
  EXPECT_FALSE(queue_trigger_event(*ctx, *w, 8, 9999));
  EXPECT_EQ(ctx->pending_triggers, 2048u);
  EXPECT_EQ(w->queued, 2048u);
  // Each token fires one; the handler runs at a deeper scope, so the next
  // waits for its return.
  std::string out = run_with_handler("");
  EXPECT_EQ(out.size(), 2048u * 6);
  EXPECT_EQ(w->queued, 0u);
  EXPECT_EQ(depth(), 0u);
}

TEST_F(Triggers, UniqueKeepsOneEvent) {
  When* w = make({T("t"), T("mousemove"), T("unique"), T("gosub"), T("h")});
  for (uint32_t i = 0; i < 5; i++) EXPECT_TRUE(queue_trigger_event(*ctx, *w, 8, i));
  EXPECT_EQ(queued_trigger_events(*ctx), 1u);
  EXPECT_EQ(run_with_handler(""), "fired\n");
  EXPECT_EQ(queued_trigger_events(*ctx), 0u);
}

TEST_F(Triggers, FreedTriggerLosesItsEventsAndNeverFires) {
  When* w = make({T("t"), T("mousedown"), T("gosub"), T("h")});
  uint32_t handle = w->self;
  make({T("other"), T("mousedown"), T("gosub"), T("h")});
  for (int i = 0; i < 3; i++) queue_trigger_event(*ctx, *w, 2, 0);
  // A copy of the value elsewhere keeps the record, not the trigger.
  run0(h_set, {T("copy"), var("t")});
  run0(h_whenfree, {T("t")});
  EXPECT_EQ(var_find(*ctx, T("t")), nullptr);
  EXPECT_EQ(queued_trigger_events(*ctx), 0u);
  EXPECT_EQ(ctx->pending_triggers, 0u);
  ASSERT_EQ(trigger_list(*ctx).size(), 1u);
  EXPECT_NE(trigger_list(*ctx)[0], handle);
  w = when_of(handle);
  ASSERT_NE(w, nullptr);
  EXPECT_FALSE(queue_trigger_event(*ctx, *w, 2, 0));
  run0(h_whenenable, {T("copy")});
  EXPECT_EQ(run_with_handler(""), "");

  // Freed with events queued: the element goes, and so do its events.
  w = when_of(trigger_list(*ctx)[0]);
  queue_trigger_event(*ctx, *w, 2, 0);
  run0(h_whenfree, {T("oth*")});
  EXPECT_EQ(trigger_list(*ctx).size(), 0u);
  EXPECT_EQ(queued_trigger_events(*ctx), 0u);
  EXPECT_EQ(run_with_handler(""), "");
}

TEST_F(Triggers, DisabledTriggerDropsItsEvents) {
  When* w = make({T("t"), T("mousedown"), T("gosub"), T("h")});
  queue_trigger_event(*ctx, *w, 2, 0);
  run0(h_whendisable, {T("t")});
  EXPECT_EQ(queued_trigger_events(*ctx), 0u);
  queue_trigger_event(*ctx, *w, 2, 0);  // queued while disabled: dropped when picked
  EXPECT_EQ(run_with_handler(""), "");
  EXPECT_EQ(queued_trigger_events(*ctx), 0u);
  run0(h_whenenable, {T("t")});
  queue_trigger_event(*ctx, *w, 2, 0);
  EXPECT_EQ(run_with_handler(""), "fired\n");
}

TEST_F(Triggers, TimedEventsWaitUntilDue) {
  // A timed trigger with nothing else to wait for fires once.
  make({T("once"), T("after"), I(300), T("gosub"), T("h")});
  EXPECT_EQ(queued_trigger_events(*ctx), 1u);
  EXPECT_EQ(run_with_handler(""), "");
  clock_advance_ms(299);
  EXPECT_EQ(run_with_handler(""), "");
  clock_advance_ms(1);
  EXPECT_EQ(run_with_handler(""), "fired\n");
  clock_advance_ms(1000);
  EXPECT_EQ(run_with_handler(""), "");

  // A repeating one stays queued and comes due every period; beats missed
  // while nothing ran are not fired in a burst.
  run0(h_whenfree, {T("once")});
  make({T("r"), T("always"), T("after"), I(100), T("gosub"), T("h")});
  clock_advance_ms(100);
  EXPECT_EQ(run_with_handler(""), "fired\n");
  clock_advance_ms(550);
  EXPECT_EQ(run_with_handler(""), "fired\n");
  EXPECT_EQ(queued_trigger_events(*ctx), 1u);
  clock_advance_ms(100);
  EXPECT_EQ(run_with_handler(""), "fired\n");
}
