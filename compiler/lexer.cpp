#include "compiler/lexer.h"

#include <cstdio>

namespace compiler {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Characters of words (names, numbers, unquoted texts such as file names).
// ':' belongs to a word unless "(" follows it (label:(args)).
bool is_word_char(std::string_view line, size_t i) {
  unsigned char c = static_cast<unsigned char>(line[i]);
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80) return true;
  switch (c) {
    case '_': case '.': case '\\': case '#': case '~': case '?': case '\'': case '`':
    case '{': case '}': case '^':
      return true;
    case ':':
      return i + 1 >= line.size() || line[i + 1] != '(';
    default:
      return false;
  }
}

// Splits at CR LF, LF or a lone CR.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\n' || text[i] == '\r') {
      lines.push_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') i++;
      start = i + 1;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

constexpr std::string_view kTwoCharOps[] = {"->", "<<", ">>", "<=", ">=", "==", "!=", "&&", "||"};
constexpr std::string_view kOneCharOps = "+-*/%<>&|!$@()[],=:";

}  // namespace

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return out;
}

std::vector<SourceStatement> lex(std::string_view file, std::string_view text, Diagnostics& diag) {
  std::vector<SourceStatement> out;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a UTF-8 byte order mark
  std::vector<std::string_view> lines = split_lines(text);
  size_t n = 0;
  while (n < lines.size()) {
    std::string_view line = lines[n];
    size_t i = 0;
    while (i < line.size() && is_blank(line[i])) i++;
    if (i == line.size() || line[i] == ';') {
      n++;
      continue;
    }
    SourceStatement st;
    st.line = int(n) + 1;
    st.first_column = i == 0;
    st.source = std::string(line.substr(i));
    bool blank = false;
    bool ended = false;
    std::vector<Diagnostic> run_on_warning;  // given when no error about the same text follows
    while (!ended) {
      if (i >= line.size()) break;
      char c = line[i];
      if (is_blank(c)) {
        blank = true;
        i++;
        continue;
      }
      if (c == ';') break;
      Token t{Tok::Op, "", "", int(n) + 1, int(i) + 1, blank};
      blank = false;
      if (c == '"') {
        // Quoted text: \\ is one backslash, \" a quote; line breaks become CR LF.
        t.kind = Tok::Text;
        i++;
        bool closed = false;
        while (!closed) {
          if (i >= line.size()) {
            if (n + 1 >= lines.size()) {
              // When an earlier text of this statement ran past the end of
              // its line, its closing quote is the one most likely missing:
              // every quote after it then opened what it meant to close.
              const Token* run_on = nullptr;
              for (const Token& e : st.tokens)
                if (!run_on && e.kind == Tok::Text && e.end_line > e.line) run_on = &e;
              if (run_on)
                diag.error(std::string(file), run_on->line, run_on->column,
                           "unterminated quoted text: the text that starts here runs past the end of line " +
                               std::to_string(run_on->line) + "; is its closing \" missing? (the quotes after it "
                               "leave the last one, at line " + std::to_string(t.line) + ", unclosed)");
              else
                diag.error(std::string(file), t.line, t.column,
                           "unterminated quoted text: the closing \" is missing before the end of the file");
              ended = true;
              break;
            }
            t.text += "\r\n";
            t.raw += "\r\n";
            line = lines[++n];
            i = 0;
            continue;
          }
          char q = line[i];
          if (q == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '"')) {
            t.text += line[i + 1];
            t.raw += line.substr(i, 2);
            i += 2;
          } else if (q == '"') {
            closed = true;
            i++;
            t.end_line = int(n) + 1;
            // A text that ran over a line break and ends right against a
            // word: its closing quote was most likely meant to open a text
            // (textln "abc <line break> textln "def").
            if (t.end_line > t.line && i < line.size() && is_word_char(line, i) && run_on_warning.empty())
              run_on_warning.push_back({false, std::string(file), t.line, t.column,
                           "the quoted text that starts here runs past the end of line " + std::to_string(t.line) +
                               " and ends at line " + std::to_string(t.end_line) + ", column " + std::to_string(i) +
                               ", right before '" + std::string(1, line[i]) +
                               "'; is its closing \" missing on line " + std::to_string(t.line) + "?"});
          } else {
            t.text += q;
            t.raw += q;
            i++;
          }
        }
        st.tokens.push_back(std::move(t));  // kept when unclosed: one message is enough
        continue;
      }
      if (is_word_char(line, i)) {
        t.kind = Tok::Word;
        size_t start = i;
        while (i < line.size() && is_word_char(line, i)) i++;
        t.text = std::string(line.substr(start, i - start));
        st.tokens.push_back(std::move(t));
        continue;
      }
      bool two = false;
      for (std::string_view op : kTwoCharOps) {
        if (line.substr(i, 2) == op) {
          t.text = std::string(op);
          i += 2;
          two = true;
          break;
        }
      }
      if (!two) {
        if (kOneCharOps.find(c) == std::string_view::npos) {
          char shown[8];
          unsigned char u = static_cast<unsigned char>(c);
          if (u < 32 || u == 127)
            std::snprintf(shown, sizeof shown, "0x%02X", u);
          else
            std::snprintf(shown, sizeof shown, "'%c'", c);
          diag.error(std::string(file), t.line, t.column, std::string("unexpected character ") + shown);
          i++;
          continue;
        }
        t.text = std::string(1, c);
        i++;
      }
      st.tokens.push_back(std::move(t));
    }
    n++;
    if (!ended)
      for (Diagnostic& d : run_on_warning) diag.warning(d.file, d.line, d.column, std::move(d.message));
    if (!st.tokens.empty()) out.push_back(std::move(st));
  }
  return out;
}

}  // namespace compiler
