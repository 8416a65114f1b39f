// Source lines from the listing files that quillonc writes beside each
// compiled file (NAME.log beside NAME.qnc): one line per statement, the
// source file name, the line number, the postfix text, and after "; " the
// source line. The player reads them only for its author's tools (error
// traces, the debug views, breakpoints); a missing listing leaves the
// token line numbers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace scripts {

// The statements of listing text by (source file name, line): the source
// line with its leading blanks removed. Lines that are not statement lines
// (the path line, the continuation lines of a text over several lines) are
// skipped.
using ListingLines = std::map<std::pair<std::string, uint32_t>, std::string>;
void parse_listing(std::string_view text, ListingLines& out);

// The listings known to the player: the listing of each compiled file it was
// told about (listing_add_compiled), and for a source file name met in
// running code, NAME.log in the folders of those files and in the working
// folder (read once).
void listing_add_compiled(const std::string& compiled_path);
// The source line of a statement, or "" when no listing names it.
std::string listing_source(std::string_view file, uint32_t line);
// The nearest line of a file above (direction < 0) or below (> 0) a line
// that the listing has a statement for, or 0 when there is none.
uint32_t listing_neighbour(std::string_view file, uint32_t line, int direction);
// The last path component of a file name.
std::string_view base_name(std::string_view path);

}  // namespace scripts
