// Keyboard and mouse input: key codes and names both ways, the translation
// of window-system keys, the input variables, the event queue that keyget
// and mouseget read, and the scripted-input file.
#include <string>
#include <vector>

#include "host/event_script.h"
#include "host/input.h"
#include "host/window.h"
#include "vm/commands.h"
#include "vm/variables.h"
#include "vm_fixture.h"

using namespace vm;
using host::key_code_from_name;
using host::key_name_from_code;

TEST(KeyNames, NamesToCodes) {
  EXPECT_EQ(key_code_from_name("ctrl-left"), 371);
  EXPECT_EQ(key_code_from_name("ALT-Del"), 419);
  EXPECT_EQ(key_code_from_name("shift-tab"), 271);
  EXPECT_EQ(key_code_from_name("alt-f10"), 369);
  EXPECT_EQ(key_code_from_name("shift-f1"), 340);
  EXPECT_EQ(key_code_from_name("ctrl-a"), 1);
  EXPECT_EQ(key_code_from_name("alt-a"), 286);
  EXPECT_EQ(key_code_from_name("alt-z"), 300);
  EXPECT_EQ(key_code_from_name("shift-a"), 65);
  EXPECT_EQ(key_code_from_name("A"), 65);
  EXPECT_EQ(key_code_from_name("return"), 13);
  EXPECT_EQ(key_code_from_name("space"), 32);
  EXPECT_EQ(key_code_from_name("ctrl-return"), 10);
  // Two modifiers, or a modifier without a column of its own, add flags.
  EXPECT_EQ(key_code_from_name("ctrl-shift-f1"), 315 + 0x600);
  EXPECT_EQ(key_code_from_name("shift-up"), 328 + 0x200);
  EXPECT_EQ(key_code_from_name("ctrl-1"), '1' + 0x400);
  EXPECT_EQ(key_code_from_name("nosuchkey"), 0);
  EXPECT_EQ(key_code_from_name("shift-"), 0);
}

TEST(KeyNames, CodesToNamesAndBack) {
  EXPECT_EQ(key_name_from_code(340), "shift-f1");
  EXPECT_EQ(key_name_from_code(286), "alt-a");
  EXPECT_EQ(key_name_from_code(65), "A");
  EXPECT_EQ(key_name_from_code(1), "ctrl-a");
  EXPECT_EQ(key_name_from_code(13), "return");
  EXPECT_EQ(key_name_from_code(27), "esc");
  EXPECT_EQ(key_name_from_code(328 + 0x200), "shift-up");
  EXPECT_EQ(key_name_from_code(0), "");
  EXPECT_EQ(key_name_from_code(300000), "");
  // Every named code survives the round trip.
  for (int32_t code : std::initializer_list<int32_t>{8, 9, 13, 27, 32, 127, 271, 315, 324, 340, 349, 350, 360, 369, 371, 389, 396, 403, 419, 286,
                       1, 26, 'a', 'Z', '~', 0xE9})
    EXPECT_EQ(key_code_from_name(key_name_from_code(code)), code) << code;
}

class Input : public VmTest {
 protected:
  void SetUp() override {
    VmTest::SetUp();
    host::window_init(true, {640, 480, 24});
  }
  void TearDown() override {
    VmTest::TearDown();
    host::window_shutdown();
  }
  void send(platform::EventKind kind, int32_t key, uint16_t mods = 0, const char* text = "") {
    platform::Event e;
    e.kind = kind;
    e.code = key;
    e.mods = mods;
    e.text = text;
    host::input_event(*ctx, e, false);
  }
  // A key as the window system delivers it: down, its text, up.
  void press(int32_t key, uint16_t mods = 0, const char* text = "") {
    send(platform::EventKind::KeyDown, key, mods);
    if (*text) send(platform::EventKind::Text, 0, mods, text);
    send(platform::EventKind::KeyUp, key, mods);
  }
  void mouse(platform::EventKind kind, int32_t button, int32_t x, int32_t y) {
    platform::Event e;
    e.kind = kind;
    e.code = button;
    e.x = x;
    e.y = y;
    host::input_event(*ctx, e, false);
  }
  std::string next_key_name() {
    run0(h_keyget, {T("k"), I(1)});
    Value v = var("k");
    return v.is_null() ? "<null>" : std::string(element_text(v));
  }
};

TEST_F(Input, WindowKeysBecomeTheirCodes) {
  sysvar_set_int(*ctx, SV_var_sysesc, 0);
  press(platform::kKeyF1, platform::kModShift);
  press('a', platform::kModCtrl);
  press('a', platform::kModAlt);
  press('a', platform::kModShift, "A");
  press('a', 0, "a");
  press(platform::kKeyTab, platform::kModShift);
  press('7', platform::kModCtrl);
  press(platform::kKeyShift, platform::kModShift);  // a modifier alone gives nothing
  press(platform::kKeyReturn, 0);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_keypressed), 8);
  EXPECT_EQ(next_key_name(), "shift-f1");
  EXPECT_EQ(next_key_name(), "ctrl-a");
  EXPECT_EQ(next_key_name(), "alt-a");
  EXPECT_EQ(next_key_name(), "A");
  EXPECT_EQ(next_key_name(), "a");
  EXPECT_EQ(next_key_name(), "shift-tab");
  EXPECT_EQ(next_key_name(), "ctrl-7");
  EXPECT_EQ(next_key_name(), "return");
  EXPECT_EQ(next_key_name(), "<null>");  // nothing waiting
}

TEST_F(Input, KeygetForms) {
  press('a', 0, "a");
  press(platform::kKeyF1, platform::kModShift);
  press('b', 0, "b");
  // One key into a variable as its one- or two-byte text.
  run0(h_keyget, {T("k")});
  EXPECT_EQ(std::string(element_text(var("k"))), "a");
  // All waiting keys pushed, the oldest first.
  uint32_t before = depth();
  open_frame(*ctx);
  h_keyget(*ctx);
  ASSERT_EQ(depth(), before + 2);
  EXPECT_EQ(std::string(element_text(cell(0))), "b");
  EXPECT_EQ(std::string(element_text(cell(1))), std::string("\x54\x01", 2));  // 340
  pop_n(*ctx, 2);
  // None waiting: nothing pushed, and a variable gets the empty text.
  open_frame(*ctx);
  h_keyget(*ctx);
  EXPECT_EQ(depth(), before);
  run0(h_keyget, {T("k")});
  EXPECT_EQ(std::string(element_text(var("k"))), "");
}

TEST_F(Input, EscapeEndsTheScriptAndKeysStillCount) {
  press(platform::kKeyEscape);
  EXPECT_EQ(ctx->stop, kStopNormal);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_keypressed), 1);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_mousekey), 1);
}

TEST_F(Input, ButtonsSetTheVariablesAndMovesToTheSamePlaceChangeNothing) {
  mouse(platform::EventKind::MouseDown, 2, 10, 20);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_mousepressed), 2);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_mousedown2), 1);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_mouseup), 0);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_mousekey), 1);  // a button down while no key was pressed
  mouse(platform::EventKind::MouseUp, 2, 12, 22);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_mousepressed), 0);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_mouseup), 1);
  run0(h_mouseget, {T("b"), T("x"), T("y"), I(0)});
  EXPECT_EQ(value_to_integer(ctx, var("b")), 2);
  EXPECT_EQ(value_to_integer(ctx, var("x")), 10);
  EXPECT_EQ(value_to_integer(ctx, var("y")), 20);
  run0(h_mouseget, {T("b"), T("x"), T("y"), I(1)});
  EXPECT_EQ(value_to_integer(ctx, var("b")), 7);  // every button up
  EXPECT_EQ(value_to_integer(ctx, var("x")), 12);

  mouse(platform::EventKind::MouseMove, 0, 30, 40);
  sysvar_set_int(*ctx, SV_var_mousemoved, 0);
  mouse(platform::EventKind::MouseMove, 0, 30, 40);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_mousemoved), 0);
  run0(h_mouseget, {T("b"), T("x"), T("y")});
  EXPECT_EQ(value_to_integer(ctx, var("x")), 30);
  EXPECT_EQ(host::input_queue_size(*ctx), 2u);  // moves are not queued
  run0(h_mouseflushclicks, {});
  EXPECT_EQ(host::input_queue_size(*ctx), 0u);
}

TEST_F(Input, TheQueueHolds2048EventsButTheVariablesGoOn) {
  sysvar_set_int(*ctx, SV_var_sysesc, 0);
  for (int k = 0; k < 2049; k++) press('a', 0, "a");
  EXPECT_EQ(host::input_queue_size(*ctx), 2048u);
  EXPECT_EQ(sysvar_int(*ctx, SV_var_keypressed), 2049);
  run0(h_keyflush, {});
  EXPECT_EQ(host::input_queue_size(*ctx), 0u);
}

TEST(EventScript, ParsesEveryKindAndSortsByTime) {
  std::vector<host::ScriptedEvent> ev;
  std::string error;
  ASSERT_TRUE(host::parse_event_script("# input\n"
                                       "20 key A   # shift with a\n"
                                       "10 text hi # there\n"
                                       "30 click 2 5 6\n"
                                       "40 key ctrl-x\n"
                                       "50 close\n",
                                       ev, &error))
      << error;
  ASSERT_EQ(ev.size(), 9u);
  EXPECT_EQ(ev[0].ms, 10u);
  EXPECT_EQ(ev[0].event.text, "hi # there");  // text takes the rest of the line
  EXPECT_EQ(ev[1].event.kind, platform::EventKind::KeyDown);
  EXPECT_EQ(ev[1].event.code, 'a');
  EXPECT_EQ(ev[1].event.mods, platform::kModShift);
  EXPECT_EQ(ev[2].event.text, "A");
  EXPECT_EQ(ev[4].event.kind, platform::EventKind::MouseDown);
  EXPECT_EQ(ev[4].event.code, 2);
  EXPECT_EQ(ev[6].event.kind, platform::EventKind::KeyDown);  // ctrl-x types nothing
  EXPECT_EQ(ev[8].event.kind, platform::EventKind::Close);
}

TEST(EventScript, MalformedLinesNameTheirLine) {
  const char* bad[][2] = {
      {"10 key\n", "line 1: key takes 1 argument"},
      {"\n\nx key a\n", "line 3: the time \"x\" is not milliseconds"},
      {"5 key nosuch\n", "line 1: no key is named \"nosuch\""},
      {"5 click 4 1 1\n", "line 1: the button must be 1, 2 or 3"},
      {"5 jump\n", "line 1: unknown event \"jump\""},
      {"5 move 1\n", "line 1: move takes 2 arguments"},
  };
  for (auto& [text, message] : bad) {
    std::vector<host::ScriptedEvent> ev;
    std::string error;
    EXPECT_FALSE(host::parse_event_script(text, ev, &error)) << text;
    EXPECT_EQ(error, message);
  }
}
