// Errors and warnings of one compilation, each with its file, line and
// column, in the order they were found.
#pragma once

#include <string>
#include <vector>

namespace compiler {

struct Diagnostic {
  bool error;
  std::string file;  // as the author named it
  int line;          // 1-based; 0 when the message is about the whole file
  int column;        // 1-based; 0 when unknown
  std::string message;
};

class Diagnostics {
 public:
  void error(const std::string& file, int line, int column, std::string message) {
    list_.push_back({true, file, line, column, std::move(message)});
    errors_++;
  }
  void warning(const std::string& file, int line, int column, std::string message) {
    list_.push_back({false, file, line, column, std::move(message)});
  }
  int errors() const { return errors_; }
  const std::vector<Diagnostic>& list() const { return list_; }

 private:
  std::vector<Diagnostic> list_;
  int errors_ = 0;
};

// "file:line:column: error: message" (line and column left out when 0).
std::string format_diagnostic(const Diagnostic& d);

}  // namespace compiler
