// Splits source text into statements and their tokens.
//
// One statement per line; blank lines and comments (";" outside quoted text,
// to the end of the line) make none. A quoted text may run over several
// lines: its line breaks become CR LF inside the text, and the statement
// keeps the number of the line where it starts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "compiler/diagnostics.h"

namespace compiler {

enum class Tok {
  Word,  // a run of word characters: a name, a number or an unquoted text (case as written)
  Text,  // quoted text, escapes resolved
  Op,    // an operator or punctuation: + - * / % << >> & | < > <= >= == != && || ! $ @ ( ) [ ] , = -> :
};

struct Token {
  Tok kind;
  std::string text;   // Word: as written; Text: the text; Op: the operator
  std::string raw;    // Text: as written between the quotes (for the listing)
  int line = 0;       // 1-based source line of the first character
  int column = 0;     // 1-based
  bool blank_before;  // a blank separates it from the token before
  int end_line = 0;   // Text: the line of its closing quote
};

struct SourceStatement {
  int line = 0;               // the line where it starts
  bool first_column = false;  // it starts in the first column (no leading blank)
  std::string source;         // its first line with the leading blanks removed
  std::vector<Token> tokens;
};

// Lexes a whole file. Unterminated quoted text and stray characters are
// reported to `diag` under `file`; the statements found are returned.
std::vector<SourceStatement> lex(std::string_view file, std::string_view text, Diagnostics& diag);

// ASCII lower case (bytes above 127 stay as they are).
std::string lower(std::string_view s);

}  // namespace compiler
