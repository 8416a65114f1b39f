// The main window of a context: it opens at the first drawing, shows the
// changed rectangles of the frame, and its events are pumped on the script
// thread between tokens.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vm {
struct Interp;
}

namespace host {

// Chooses the platform (headless when asked or when no display opens; the
// latter is said once on standard error) and installs the window glue: the
// flush hook, the message pump, the sleep and message-box hooks, the
// desktop variables and the context closer. Call after host::engine_init().
void window_init(bool headless, const platform::Desktop& headless_desktop);
// Drops the platform (after the last context is destroyed).
void window_shutdown();

platform::Platform& platform_get();

// Shows at once what the windows held back of the last drawings (a window
// shows at most one picture in a few milliseconds): before something else
// looks at them or the script blocks.
void present_held();

// Installs the message pump if window_init left it out (headless): for
// scripted input, given before the script starts.
void want_pump();

// The open main window of a context, or null.
platform::Window* main_window(vm::Interp& ctx);
// Opens the main window if it is not open (the frame is made if needed);
// false when it cannot be opened.
bool open_main_window(vm::Interp& ctx);
// Settles the window size variables as the window opens with them (sides
// below 32 are 640 x 480); the frame is made after this.
void settle_window_size(vm::Interp& ctx);
// Closes the main window (the frame stays).
void close_main_window(vm::Interp& ctx);

// Writes the frame (made now when nothing was drawn) as PNG.
bool write_snapshot(vm::Interp& ctx, const std::string& path, std::string* error);

}  // namespace host
