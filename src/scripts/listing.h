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
// told about (listing_add_compiled, listing_note_program), and for a source
// file name met in running code, NAME.log in the folders of those files and
// in the working folder. Each is read once, when a line is first wanted.
void listing_add_compiled(const std::string& compiled_path);
// The code of a program loaded from a compiled file: its statements are
// looked up in that file's listing first, so that two scripts of the same
// source name (in different folders) and a compiled file named apart from
// its source show their own lines. An empty path forgets the code (it is
// unloaded).
void listing_note_program(const uint32_t* code, const std::string& compiled_path);
// The source line of a statement of the code (nullptr: unknown code), or ""
// when no listing names it.
std::string listing_source(std::string_view file, uint32_t line, const uint32_t* code = nullptr);
// The nearest line of a file above (direction < 0) or below (> 0) a line
// that the listing has a statement for, or 0 when there is none.
uint32_t listing_neighbour(std::string_view file, uint32_t line, int direction, const uint32_t* code = nullptr);
// The last path component of a file name.
std::string_view base_name(std::string_view path);

}  // namespace scripts
