// The player's start-up: the command line with its screen-saver switches,
// the choice of the start-up script, the context, and the tear-down.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vm {
struct Interp;
}

namespace host {

struct StartupFlags {
  bool small = false;         // /p: preview in a parent window
  bool password = false;      // /a: change the saver's password
  bool settings = false;      // /c: the saver's settings
  bool preview = false;
  bool parent_given = false;  // a window number followed a switch
  uint64_t parent = 0;
  bool bound_runtime = false; // the executable carries an archive
  // The X window the main window draws into (--window-id, --root, or the
  // parent of /p); 0: a window of its own.
  uint64_t embed_in = 0;
};

// The flags of this process's command line (set by start_up).
const StartupFlags& startup_flags();
void set_startup_flags(const StartupFlags& flags);

// Parses the switches at the front of `line` (/s /p /c /a, each with an
// optional window number: "/p 1234", "/c:1234") into `flags` and returns
// the script name: the text in double quotes, or else the rest of the line
// (with `first_word`, only its first word: on Linux the shell has already
// split the line, and the words after the name are the script's arguments).
std::string parse_command_line(std::string line, StartupFlags& flags, bool first_word = false);

// Creates the context, stores the command-line words as the variables 0,
// 1, 2 ..., opens an archive name and takes its "vk:startup", loads the
// script and runs it. Returns the context (the caller destroys it). When
// no script could be loaded, `problem` says why, naming the file (a script
// that ended on an error leaves it empty: its stop code tells).
vm::Interp* start_up(const std::string& name, const std::vector<std::string>& words, const StartupFlags& flags,
                     int show_state, std::string& problem);

}  // namespace host
