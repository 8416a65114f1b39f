// Screen-saver operation: the screensaver command and the password check
// that runs when input would end a running saver.
#pragma once

#include "platform/platform.h"

namespace vm {
struct Interp;
}

namespace host {

// A running saver (in a bound runtime outside the preview) keeps its
// window when the window system asks it to close: input ends it instead.
bool saver_holds_window();

// The kinds of input a saver can end on: a key, a button (every button
// event but the left button going down), a move to a new position.
enum class SaverInput { Key, Click, Move };

// Input that ends a running saver (as chosen by the screensaver keywords)
// runs the password check and is then used up: true when it was.
bool saver_input(vm::Interp& ctx, SaverInput kind);

// Whether the saver may end: not within 1.5 s of its start, not while a
// check runs, and on this system (which has no password dialog of its own)
// at once otherwise, ending the script normally.
bool password_check(vm::Interp& ctx);

// Forgets the saver state (a new context starts without one).
void saver_reset();

}  // namespace host
