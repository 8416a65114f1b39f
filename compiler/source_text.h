// Source files in UTF-8: their texts become the player's code page.
//
// A script is taken as UTF-8 when it starts with the UTF-8 byte order mark,
// or when it is valid UTF-8 holding at least one character beyond ASCII
// (a Windows-1252 text with letters beyond ASCII is almost never valid
// UTF-8). Anything else is read as Windows-1252 bytes, as it always was.
#pragma once

#include <string>
#include <string_view>

#include "compiler/diagnostics.h"

namespace compiler {

// The text in Windows-1252: unchanged unless it is UTF-8. A character that
// the code page lacks is an error at its line and column (counted in
// characters), except inside a comment, where it becomes '?'; so is a byte
// that is not UTF-8 in a file that carries the byte order mark.
std::string source_to_code_page(const std::string& file, std::string_view text, Diagnostics& diag);

}  // namespace compiler
