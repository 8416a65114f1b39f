// The postfix form of statements, as the listing writes it and the packer
// turns it into token words.
//
// (a b cmd) pushes a and b, then calls cmd; {...} discards what the group
// inside leaves; "X _label", "X _goto" ... are control words with their
// label; "_return" has none. The commands that take no argument frame
// (null and six ele_ queries) are written like control words, after what
// they work on: (mb ele_adr a set).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace compiler {

// The control words, written once: X(identifier, listing word, opcode
// identifier in vm/opcodes.h).
#define QUILLON_CONTROLS(X)            \
  X(Label, "_label", LABEL)            \
  X(Goto, "_goto", GOTO)               \
  X(If, "_if", IF)                     \
  X(IfNot, "_ifnot", IFNOT)            \
  X(IdleGoto, "_idlegoto", IDLEGOTO)   \
  X(IdleIf, "_idleif", IDLEIF)         \
  X(IdleIfNot, "_idleifnot", IDLEIFNOT) \
  X(Return, "_return", RETURN)

enum class Control : uint8_t {
#define X(id, word, opcode) id,
  QUILLON_CONTROLS(X)
#undef X
};

struct Elem {
  enum Kind : uint8_t { Open, OpenBrace, Close, CloseBrace, Int, Float, Text, Ctl };
  Elem() = default;
  explicit Elem(Kind k) : kind(k) {}
  Kind kind = Int;
  int64_t value = 0;   // Int: the integer (it fits a literal word)
  uint32_t word = 0;   // Float: the packed literal word
  std::string text;    // Text: the text; Float: its spelling; Close: the callee (empty: pushed
                       // before, computed); Ctl: the label (empty: pushed before)
  std::string raw;     // Text written in quotes: as written, for the listing
  bool quoted = false;
  bool frameless = false;  // Close: a command that takes no argument frame (no Open before it)
  Control control = Control::Label;
};

// An expression: a value, or a call whose pushes come first (in push order).
struct Node {
  enum Kind : uint8_t { Int, Float, Text, Call };
  Kind kind = Text;
  int64_t value = 0;
  uint32_t word = 0;
  std::string text;  // Text: the text; Float: spelling; Call: the callee
  std::string raw;
  bool quoted = false;
  std::vector<Node> pushes;

  static Node integer(int64_t v) {
    Node n;
    n.kind = Int;
    n.value = v;
    return n;
  }
  static Node word_text(std::string t) {
    Node n;
    n.kind = Text;
    n.text = std::move(t);
    return n;
  }
  static Node call(std::string callee, std::vector<Node> pushes = {}) {
    Node n;
    n.kind = Call;
    n.text = std::move(callee);
    n.pushes = std::move(pushes);
    return n;
  }
};

struct Statement {
  int file = 0;        // index into Program::files
  int line = 0;
  std::string source;  // its first source line, leading blanks removed
  std::vector<Elem> postfix;
};

struct Program {
  std::vector<std::string> files;  // the file names that line words push
  std::vector<Statement> statements;
};

// Appends the elements of a node.
void append_node(std::vector<Elem>& out, const Node& n);

// The postfix text of a statement as the listing shows it: "_line" and its
// elements separated by blanks, none inside the brackets.
std::string postfix_text(const Statement& st);
std::string postfix_text(const std::vector<Elem>& elems);

}  // namespace compiler
