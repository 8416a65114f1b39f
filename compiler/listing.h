// The listing file that accompanies a compiled script.
#pragma once

#include <string>

#include "compiler/postfix.h"

namespace compiler {

// "; " and the compiled file's full path, then one line per statement:
// the file name, the line number in 5 columns, a blank, the postfix, tabs
// up to column 88 (one tab when the text reaches it), "; " and the source
// line. Lines end in CR LF; a quoted text's line breaks stay in it.
std::string listing(const Program& program, const std::string& compiled_path);

// The tabs that take a line of `column` characters to column 88.
std::string listing_tabs(size_t column);

}  // namespace compiler
