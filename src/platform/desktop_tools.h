// The desktop's own command-line tools (clipboard pictures, file dialogs,
// screenshots, settings of the session), run with an argument vector: no
// shell ever sees the arguments.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {

// True when `name` is an executable file in PATH.
bool have_tool(const std::string& name);

// Runs argv (argv[0] searched in PATH) and waits for it: `input` (when not
// null) is written to its standard input, which is then closed; its
// standard output is collected into `output` when not null, else it goes
// to /dev/null, as does its standard error. A program that takes longer
// than timeout_ms (negative: no limit) is killed. The exit status, or -1
// when it could not be started, was killed or did not end in time.
int run_tool(const std::vector<std::string>& argv, const std::string* input, std::string* output, int timeout_ms);

// Starts argv[0] (searched in PATH) with the file actions, as posix_spawnp
// does, but with the signal state of a fresh process: nothing blocked and
// every signal at its default action, whatever the player set for itself.
// Returns posix_spawnp's result (0 when started).
int spawn_program(pid_t& pid, const posix_spawn_file_actions_t& actions, char* const argv[]);

// True in a Wayland session (WAYLAND_DISPLAY set): its tools are wl-copy,
// wl-paste and grim rather than xclip and import.
bool wayland_session();

}  // namespace platform
