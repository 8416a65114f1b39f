#include "compiler/listing.h"

#include <cstdio>

namespace compiler {

std::string listing_tabs(size_t column) {
  constexpr size_t kCommentColumn = 88;
  if (column >= kCommentColumn) return "\t";
  return std::string((kCommentColumn - column + 7) / 8, '\t');
}

std::string listing(const Program& program, const std::string& compiled_path) {
  std::string out = "; " + compiled_path + "\r\n";
  for (const Statement& st : program.statements) {
    char number[16];
    std::snprintf(number, sizeof number, "%5d", st.line);
    std::string line = program.files[size_t(st.file)] + number + " " + postfix_text(st);
    size_t last_break = line.rfind('\n');
    size_t column = last_break == std::string::npos ? line.size() : line.size() - last_break - 1;
    out += line;
    out += listing_tabs(column);
    out += "; ";
    out += st.source;
    out += "\r\n";
  }
  return out;
}

}  // namespace compiler
