// Starting programs, shared by the commands that open documents.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vm {

// Starts argv (argv[0] searched in PATH) with standard input from
// /dev/null and does not wait; the program is collected when it ends. The
// process id, or 0 when it could not be started.
int64_t spawn_program(const std::vector<std::string>& argv);

}  // namespace vm
