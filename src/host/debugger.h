// The author's debugger: error traces, the debug views (code, elements,
// variables) as text and in a debug window, breakpoints on source lines and
// single steps.
//
// It watches the running script through the interpreter's per-token host
// tick, installed only while something needs it (a breakpoint, single-step
// mode, an open debug window), so that other runs keep the fast path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vm {
struct Interp;
}

namespace host {

struct Breakpoint {
  std::string file;  // a source file name; compared by its last path component
  uint32_t line = 0;
  bool found = false;  // some code had a statement for it
};

struct DebugOptions {
  std::string dump_path;  // --debug-dump: where the views are written as text, "" none
  std::vector<Breakpoint> breakpoints;  // --break FILE:LINE
};

// "FILE:LINE" into a breakpoint; false when it is not that.
bool parse_breakpoint(const std::string& text, Breakpoint& out);

// Installs the error report and var_debug. Call after window_init; false
// with the reason when the dump file cannot be written.
bool debugger_init(const DebugOptions& options, std::string* why);
// The compiled file the player runs: its listing gives source lines.
void debugger_script_path(const std::string& compiled_path);
// Before an event of the window system or the scripted input reaches the
// script: the debugger's keys and its window's events. True when taken.
bool debugger_event(vm::Interp& ctx, const platform::Event& e);
// The script has ended: the dump's end section; in a real window, after an
// error, the debug window shows where it happened until it is closed.
void debugger_finish(vm::Interp& ctx);
// Closes the debug window and the dump (before the platform goes).
void debugger_shutdown();

}  // namespace host
