#include "compiler/diagnostics.h"

namespace compiler {

std::string format_diagnostic(const Diagnostic& d) {
  std::string s = d.file;
  if (d.line > 0) s += ":" + std::to_string(d.line);
  if (d.line > 0 && d.column > 0) s += ":" + std::to_string(d.column);
  s += d.error ? ": error: " : ": warning: ";
  s += d.message;
  return s;
}

}  // namespace compiler
