// Keyboard and mouse input: key codes and key names, the input system
// variables, the queue of key and button events that keyget and mouseget
// read, and the offering of every event to the event triggers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "vm/value.h"

namespace vm {
struct Interp;
}

namespace host {

// Key codes in the PC keyboard convention: characters are their code,
// ctrl with a letter 1 to 26, extended keys 256 plus the scan code. Codes
// with no entry of their own carry the modifier flags.
inline constexpr int32_t kKeyFlagShift = 0x200, kKeyFlagCtrl = 0x400, kKeyFlagAlt = 0x800;

// "shift-f1" -> 340, "ALT-Del" -> 419, "A" -> 65; 0 for no such key.
int32_t key_code_from_name(std::string_view name);
// 340 -> "shift-f1", 286 -> "alt-a", 65 -> "A"; empty for a code without a name.
std::string key_name_from_code(int32_t code);

// The input event types of the queue and the triggers.
enum InputType : int32_t {
  kInputKey = 1,
  kInputLeftDown = 2, kInputLeftUp = 3,
  kInputRightDown = 4, kInputRightUp = 5,
  kInputMiddleDown = 6, kInputMiddleUp = 7,
  kInputMove = 8,
};

// One key, mouse or text event of the window system (window coordinates),
// handled as the design says: variables, the queue, the triggers, the
// screen saver. `background` marks events of the background window.
void input_event(vm::Interp& ctx, const platform::Event& e, bool background);

// Queued key and button events of the context (for tests).
uint32_t input_queue_size(vm::Interp& ctx);
// Takes the oldest queued key event; false when none waits.
bool input_take_key(vm::Interp& ctx, int32_t& code);
// Takes the oldest queued key or button event: its InputType, key code
// (keys) and frame position (buttons); false when none waits.
bool input_take_event(vm::Interp& ctx, int32_t& type, int32_t& code, int32_t& x, int32_t& y);
// While a modal form of the player's own is up, events are queued for it
// and not offered to the script's triggers.
void input_set_modal(vm::Interp& ctx, bool on);

// The player's single-byte code page (the one of system fonts, character
// set 0): the byte of a Unicode code point, 0 when it has none; and texts
// from and to UTF-8 (characters without a byte are left out).
int32_t code_page_byte(int32_t code_point);
std::string code_page_to_utf8(std::string_view bytes);
std::string utf8_to_code_page(const std::string& utf8);

// A mouse cursor: one of the system cursors by name, or a custom one made
// from 0xAARRGGBB pixels (top row first) with its hot point.
struct Cursor {
  std::string name = "arrow";  // empty for a custom cursor
  std::vector<uint32_t> argb;
  int32_t w = 0, h = 0, hot_x = 0, hot_y = 0;
};
// The system cursor of that name; false when there is none.
bool cursor_named(std::string_view name, Cursor& out);
// A custom cursor from an image argument (its first image for a list) of
// at most 256 x 256 pixels; false when there is no such image.
bool cursor_from_image(vm::Interp& ctx, vm::Value image, int32_t hot_x, int32_t hot_y, Cursor& out);
// Reads a cursor command's arguments and closes its frame: a system
// cursor name (none: the arrow), or with `custom` an image and an optional
// hot point. False when they name no cursor.
bool cursor_arguments(vm::Interp& ctx, bool custom, Cursor& out);
// The window's cursor as last set, and setting it.
const Cursor& cursor_current(vm::Interp& ctx);
void cursor_set(vm::Interp& ctx, const Cursor& c);

// Installs the key-name hook of the triggers and the context closer.
void input_init();

}  // namespace host
