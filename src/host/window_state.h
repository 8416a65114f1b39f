// What the window glue keeps per context, shared by the glue (window.cpp),
// the window commands (window_commands.cpp) and the screen saver
// (saver.cpp). Scripts reach these through commands only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vm {
struct Interp;
}

namespace host {

// An overlapped window (frame, system menu, sizing border, minimize and
// maximize boxes) with clip-children.
inline constexpr uint32_t kDefaultStyle = platform::kStyleClipChildren | platform::kStyleBorder |
                                          platform::kStyleDialogFrame | platform::kStyleSysMenu |
                                          platform::kStyleThickFrame | platform::kStyleMinimizeBox |
                                          platform::kStyleMaximizeBox;
// The style that windowstyle popup or child and the screen saver set.
inline constexpr uint32_t kPopupStyle = platform::kStylePopup | platform::kStyleClipChildren;

struct WindowState {
  std::unique_ptr<platform::Window> window;      // the main window, showing the frame
  std::unique_ptr<platform::Window> background;  // covers the desktop behind it
  std::vector<uint8_t> bgra;  // the frame as top-down BGRA, what the window shows
  std::vector<platform::Window::Area> areas;  // scratch: the rectangles of one flush
  int32_t frame_w = 0, frame_h = 0;
  std::string title = "Quillon";
  uint32_t style = kDefaultStyle;
  bool centred = true;          // placed by centring until windowposition sets a place
  bool force_present = false;   // present even while var_windowupdate is off
  bool has_background = false;  // windowbackground set a colour
  uint32_t background_rgb = 0;
  bool topmost = false;
};

WindowState& window_state(vm::Interp& ctx);

// The desktop as scripts see it: 640 x 480 in the preview mode.
platform::Desktop script_desktop();

// The about box (a message box naming the program and its version).
void show_about(vm::Interp& ctx);

// Marks the whole frame changed and presents it, whatever var_windowupdate says.
void present_all(vm::Interp& ctx);
// The place that centres a window of w x h (plus no border) on the desktop.
void centred_position(int64_t w, int64_t h, int64_t& x, int64_t& y);

// The operations behind the window commands, also run by screensaver.
void set_window_size(vm::Interp& ctx, int64_t width, int64_t height, const int64_t* bits);
void set_window_position(vm::Interp& ctx, const int64_t* x, const int64_t* y);
void set_window_style(vm::Interp& ctx, uint32_t style);
// With a colour, the background window shows it (opened now when the main
// window is open); without one it closes.
void set_window_background(vm::Interp& ctx, const uint32_t* rgb);
void set_window_topmost(vm::Interp& ctx, bool on);
// Opens the background window when a colour is set and it is not open.
void open_background_window(vm::Interp& ctx);

}  // namespace host
