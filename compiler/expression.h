// Expressions: tokens to a tree of calls whose postfix the statements emit.
//
// Binding, tightest first: @ forms, calls, name[i], name->field; unary - +
// !; * / %; + -; << >>; $; the comparisons; &; |; &&; ||. Operators of one
// level group from the left. Nothing is computed at compile time.
#pragma once

#include <string>
#include <vector>

#include "compiler/diagnostics.h"
#include "compiler/lexer.h"
#include "compiler/postfix.h"

namespace compiler {

// What an expression needs to know of the program around it.
class ExprContext {
 public:
  virtual ~ExprContext() = default;
  virtual const std::string& file() const = 0;
  virtual Diagnostics& diag() = 0;
  // The counter variable that @loop reads (the innermost counted loop's), or "".
  virtual std::string loop_counter() const = 0;
  // A label named in label:(args), for the check that it exists.
  virtual void label_reference(const std::string& label, int line, int column) = 0;
  // A call f(...) whose name is no built-in command: a label of the script
  // or a function the script declares, checked when all of it is read.
  virtual void call_reference(const std::string& name, int line, int column) = 0;
  // A variable read by name (@name), for the check that something sets it.
  virtual void variable_read(const std::string& name, int line, int column) = 0;
};

// Parses tokens [begin, end) as one expression. Blanks between the tokens
// are ignored. Reports an error and returns false when they are not one
// well-formed expression.
bool parse_expression(const std::vector<Token>& toks, size_t begin, size_t end, ExprContext& ctx, Node& out);

// The node of a number word (optionally negated): an integer literal, a
// float literal, a text for fractions no literal holds exactly (subtracted
// from 0 when negative), an expression for integers beyond the 30-bit
// literals, a topercentage call for "pct". False when the integer passes the range of values.
// For a command whose argument counts are documented, the warning when
// `args` arguments lie outside them; else "".
std::string argument_count_misuse(const std::string& name, size_t args);

bool number_node(const std::string& word, bool negative, Node& out, std::string& error);

// Whether a token is an operator written between two operands.
bool is_binary_operator(const Token& t);

// Whether a name is a built-in command, and whether it is a system variable
// (a command named var_NAME exists).
bool is_command(const std::string& name);
bool is_system_variable(const std::string& name);
// Whether a command called with `args` arguments leaves a result: its flag
// in the command table; a system variable given a value leaves none.
bool command_yields(const std::string& name, size_t args);
// For the commands that take no argument frame (they work on the top of the
// stack), the message when `args` arguments are too many or too few; else "".
std::string frameless_misuse(const std::string& name, size_t args);

}  // namespace compiler
