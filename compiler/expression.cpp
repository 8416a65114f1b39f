#include "compiler/expression.h"

#include "compiler/numbers.h"
#include "vm/command_names.h"
#include "vm/opcodes.h"

namespace compiler {
namespace {

// The operators and their commands come from the opcode list
// (vm/opcodes.h): an operator written between two operands, with its
// binding (higher binds tighter), and one written before one operand.
const vm::Operator* operator_of(const Token& t, bool prefix) {
  if (t.kind != Tok::Op) return nullptr;
  for (const vm::Operator& o : vm::kOperators)
    if ((prefix ? o.prefix() : o.infix()) && t.text == o.symbol) return &o;
  return nullptr;
}

const vm::Operator* binary_op(const Token& t) { return operator_of(t, false); }

// The commands of the binary operators: called as functions with two
// arguments they take them in source order, as the operators do.
bool is_binary_command(const std::string& name) {
  for (const vm::Operator& o : vm::kOperators)
    if (o.run == vm::OperatorRun::binary && name == o.command) return true;
  return false;
}

// Names start with a letter, '_' or a byte above 127.
bool is_name_word(const std::string& w) {
  if (w.empty()) return false;
  unsigned char c = static_cast<unsigned char>(w[0]);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}

class Parser {
 public:
  Parser(const std::vector<Token>& toks, size_t begin, size_t end, ExprContext& ctx)
      : t_(toks), pos_(begin), end_(end), ctx_(ctx) {}

  bool parse(Node& out) {
    if (pos_ >= end_) return fail_at_end("an expression is missing");
    if (!binary(0, out)) return false;
    if (pos_ < end_) {
      const Token& t = t_[pos_];
      if (is_op(t, ")")) return fail(t, "unbalanced parentheses: ')' without a matching '('");
      if (is_op(t, "]")) return fail(t, "unbalanced brackets: ']' without a matching '['");
      if (is_op(t, "=")) return fail(t, "'=' is not an operator here; write '==' to compare");
      return fail(t, "'" + shown(t) + "' cannot follow the expression before it");
    }
    return true;
  }

 private:
  static bool is_op(const Token& t, const char* op) { return t.kind == Tok::Op && t.text == op; }
  bool at_op(const char* op) const { return pos_ < end_ && is_op(t_[pos_], op); }
  // The next token follows the previous one without a blank.
  bool adjacent() const { return pos_ < end_ && !t_[pos_].blank_before; }

  static std::string shown(const Token& t) { return t.kind == Tok::Text ? "\"" + t.raw + "\"" : t.text; }

  bool fail(const Token& t, std::string message) {
    ctx_.diag().error(ctx_.file(), t.line, t.column, std::move(message));
    return false;
  }
  bool fail_at_end(std::string message) {
    const Token& t = t_[pos_ > 0 ? pos_ - 1 : 0];
    int column = t.column + int(t.kind == Tok::Text ? t.raw.size() + 2 : t.text.size());
    ctx_.diag().error(ctx_.file(), t.line, pos_ > 0 ? column : t.column, std::move(message));
    return false;
  }

  bool binary(int min_level, Node& out) {
    if (!unary(out)) return false;
    while (pos_ < end_) {
      const vm::Operator* b = binary_op(t_[pos_]);
      if (!b || b->binding < min_level) break;
      const Token& op = t_[pos_++];
      if (pos_ >= end_) return fail(op, "the operator '" + op.text + "' has no right operand");
      if (binary_op(t_[pos_]) && !is_unary(t_[pos_]))
        return fail(op, "the operator '" + op.text + "' has no right operand");
      Node right;
      if (!binary(b->binding + 1, right)) return false;
      out = Node::call(b->command, {std::move(out), std::move(right)});
    }
    return true;
  }

  static bool is_unary(const Token& t) { return operator_of(t, true) != nullptr; }

  bool unary(Node& out) {
    if (pos_ >= end_) return fail_at_end("an operand is missing");
    const Token& t = t_[pos_];
    if (is_unary(t)) {
      pos_++;
      if (pos_ >= end_) return fail(t, "the operator '" + t.text + "' has no operand");
      // A minus written against a number is part of the number.
      if (t.text == "-" && adjacent() && t_[pos_].kind == Tok::Word &&
          number_kind(t_[pos_].text) != NumberKind::None && !(pos_ + 1 < end_ && is_op(t_[pos_ + 1], "("))) {
        const Token& num = t_[pos_++];
        std::string error;
        if (!number_node(lower(num.text), true, out, error)) return fail(num, error);
        return postfix(out);
      }
      Node operand;
      if (!unary(operand)) return false;
      out = Node::call(operator_of(t, true)->command, {std::move(operand)});
      return true;
    }
    if (!primary(out)) return false;
    return postfix(out);
  }

  // name->field, repeated.
  bool postfix(Node& out) {
    while (at_op("->")) {
      const Token& arrow = t_[pos_++];
      if (pos_ >= end_ || t_[pos_].kind != Tok::Word || !is_name_word(t_[pos_].text))
        return fail(arrow, "'->' must be followed by a field name");
      std::string field = lower(t_[pos_++].text);
      out = Node::call("ele_" + field, {std::move(out)});
    }
    return true;
  }

  // [i][j] or [i, j] after a name: the indices, last first.
  bool subscripts(std::vector<Node>& reversed) {
    std::vector<Node> indices;
    while (at_op("[") && adjacent()) {
      const Token& open = t_[pos_++];
      for (;;) {
        Node index;
        if (pos_ >= end_ || at_op("]")) return fail(open, "an index is missing inside '[ ]'");
        if (!binary(0, index)) return false;
        indices.push_back(std::move(index));
        if (at_op(",")) {
          pos_++;
          continue;
        }
        if (at_op("]")) {
          pos_++;
          break;
        }
        return fail(open, "unbalanced brackets: the '[' here is never closed");
      }
    }
    for (size_t i = indices.size(); i-- > 0;) reversed.push_back(std::move(indices[i]));
    return true;
  }

  // The arguments of a call, after its '(': source order.
  bool arguments(const Token& open, const std::string& callee, std::vector<Node>& args) {
    pos_++;  // '('
    if (at_op(")")) {
      pos_++;
      return true;
    }
    for (;;) {
      if (pos_ >= end_)
        return fail(open, "unbalanced parentheses: the '(' of " + callee + "( is never closed");
      if (at_op(",") || at_op(")")) return fail(t_[pos_], "an argument is missing before '" + t_[pos_].text + "'");
      Node a;
      if (!binary(0, a)) return false;
      args.push_back(std::move(a));
      if (at_op(",")) {
        pos_++;
        continue;
      }
      if (at_op(")")) {
        pos_++;
        return true;
      }
      if (pos_ >= end_)
        return fail(open, "unbalanced parentheses: the '(' of " + callee + "( is never closed");
      return fail(t_[pos_], "expected ',' or ')' in the arguments of " + callee + ", found '" + shown(t_[pos_]) + "'");
    }
  }

  bool primary(Node& out) {
    const Token& t = t_[pos_];
    if (t.kind == Tok::Text) {
      pos_++;
      out = Node::word_text(t.text);
      out.raw = t.raw;
      out.quoted = true;
      return true;
    }
    if (t.kind == Tok::Word) {
      pos_++;
      std::string w = lower(t.text);
      if (number_kind(w) != NumberKind::None) {
        if (at_op("(") && adjacent()) return fail(t_[pos_], "a number cannot be called: '(' after " + t.text);
        std::string error;
        if (!number_node(w, false, out, error)) return fail(t, error);
        return true;
      }
      if (at_op("(") && adjacent() && is_name_word(w)) {
        std::vector<Node> args;
        const Token& open = t_[pos_];
        if (!arguments(open, w, args)) return false;
        if (std::string m = frameless_misuse(w, args.size()); !m.empty()) return fail(open, m);
        if (!is_command(w)) ctx_.call_reference(w, t.line, t.column);
        if (std::string m = argument_count_misuse(w, args.size()); !m.empty())
          ctx_.diag().warning(ctx_.file(), t.line, t.column, m);
        out = call_node(w, std::move(args));
        return true;
      }
      if (at_op(":") && is_name_word(w)) {
        // label:(args) makes an array that calls the label with the args.
        pos_++;
        if (!at_op("(")) return fail(t, "':' after a label must be followed by '('");
        std::vector<Node> args;
        if (!arguments(t_[pos_], w, args)) return false;
        ctx_.label_reference(w, t.line, t.column);
        std::vector<Node> pushes;
        for (size_t i = args.size(); i-- > 0;) pushes.push_back(std::move(args[i]));
        pushes.push_back(Node::word_text(w));
        out = Node::call("arraylabel", std::move(pushes));
        return true;
      }
      if (at_op("[") && adjacent()) {
        std::vector<Node> pushes;
        if (!subscripts(pushes)) return false;
        pushes.push_back(Node::word_text(w));
        out = Node::call("arrayref", std::move(pushes));
        return true;
      }
      out = Node::word_text(w);
      return true;
    }
    // An operator.
    if (t.text == "(") {
      pos_++;
      if (at_op(")")) return fail(t, "empty parentheses");
      if (!binary(0, out)) return false;
      if (!at_op(")")) {
        if (pos_ < end_ && !is_op(t_[pos_], "]"))
          return fail(t_[pos_], "expected ')' for the '(' at column " + std::to_string(t.column) + ", found '" +
                                    shown(t_[pos_]) + "'");
        return fail(t, "unbalanced parentheses: the '(' here is never closed");
      }
      pos_++;
      return true;
    }
    if (t.text == "@") return at_form(out);
    if (t.text == ")") return fail(t, "unbalanced parentheses: ')' without a matching '('");
    if (t.text == "]") return fail(t, "unbalanced brackets: ']' without a matching '['");
    if (t.text == "=") return fail(t, "'=' is not an operator here; write '==' to compare");
    if (binary_op(t)) return fail(t, "the operator '" + t.text + "' has no left operand");
    return fail(t, "unexpected '" + t.text + "'");
  }

  // After '@': @name, @@name, @(expr), @name[i], @1, @loop, @sysvar.
  bool at_form(Node& out) {
    const Token& at = t_[pos_++];
    if (pos_ >= end_ || t_[pos_].blank_before) return fail(at, "'@' must be followed by a variable name");
    const Token& t = t_[pos_];
    if (is_op(t, "@")) {
      Node inner;
      if (!at_form(inner)) return false;
      out = Node::call("at", {std::move(inner)});
      return true;
    }
    if (is_op(t, "(")) {
      pos_++;
      Node name;
      if (at_op(")")) return fail(t, "empty parentheses after '@'");
      if (!binary(0, name)) return false;
      if (!at_op(")")) return fail(t, "unbalanced parentheses: the '(' after '@' is never closed");
      pos_++;
      out = Node::call("at", {std::move(name)});
      return true;
    }
    if (t.kind != Tok::Word) return fail(at, "'@' must be followed by a variable name");
    pos_++;
    std::string w = lower(t.text);
    Node name;
    if (number_kind(w) == NumberKind::Integer) {
      std::string error;
      if (!number_node(w, false, name, error)) return fail(t, error);
      out = Node::call("at", {std::move(name)});
      return true;
    }
    if (at_op("[") && adjacent()) {
      std::vector<Node> pushes;
      if (!subscripts(pushes)) return false;
      pushes.push_back(Node::word_text(w));
      out = Node::call("at", {Node::call("arrayref", std::move(pushes))});
      return true;
    }
    if (w == "loop") {
      std::string counter = ctx_.loop_counter();
      if (!counter.empty()) {
        out = Node::call("at", {Node::word_text(counter)});
        return true;
      }
    }
    if (is_system_variable(w)) {
      out = Node::call("var_" + w);
      return true;
    }
    ctx_.variable_read(w, t.line, t.column);
    out = Node::call("at", {Node::word_text(w)});
    return true;
  }

  // f(a, b) pushes b then a (the first argument on top); the operator
  // commands take their two operands in source order, and strcat, which
  // joins from the deepest argument, takes all of them in source order.
  static Node call_node(const std::string& callee, std::vector<Node> args) {
    if ((args.size() == 2 && is_binary_command(callee)) || callee == "strcat") return Node::call(callee, std::move(args));
    std::vector<Node> pushes;
    for (size_t i = args.size(); i-- > 0;) pushes.push_back(std::move(args[i]));
    return Node::call(callee, std::move(pushes));
  }

  const std::vector<Token>& t_;
  size_t pos_, end_;
  ExprContext& ctx_;
};

}  // namespace

bool is_binary_operator(const Token& t) { return binary_op(t) != nullptr; }

bool is_command(const std::string& name) { return vm::command_name_find(name) != 0; }

bool is_system_variable(const std::string& name) { return !name.empty() && is_command("var_" + name); }

bool command_yields(const std::string& name, size_t args) {
  uint32_t k = vm::command_name_find(name);
  if (k == 0) return true;  // a label or a library function: its result is not known
  if (args > 0 && name.compare(0, 4, "var_") == 0) return false;
  return vm::kCommandNames[k].yields;
}

std::string frameless_misuse(const std::string& name, size_t args) {
  uint32_t k = vm::command_name_find(name);
  if (k == 0 || !vm::kCommandNames[k].frameless) return "";
  size_t wanted = name == "null" ? 0 : 1;
  if (args == wanted) return "";
  return wanted ? name + " takes exactly one argument: the name of a variable" : name + " takes no argument";
}

std::string argument_count_misuse(const std::string& name, size_t args) {
  const vm::CommandArgs* a = vm::command_args_find(name);
  if (!a || (args >= size_t(a->min) && (a->max < 0 || args <= size_t(a->max)))) return "";
  std::string wanted = a->max < 0    ? "at least " + std::to_string(a->min)
                       : a->min == a->max ? std::to_string(a->min)
                                          : std::to_string(a->min) + " to " + std::to_string(a->max);
  return name + " takes " + wanted + " argument" + (a->min == 1 && a->max <= 1 ? "" : "s") + " (" + a->args + "), not " +
         std::to_string(args) + "; a missing one reads as null and a surplus one is dropped";
}

bool number_node(const std::string& word, bool negative, Node& out, std::string& error) {
  NumberKind kind = number_kind(word);
  if (kind == NumberKind::Percent) {
    Node num;
    if (!number_node(word.substr(0, word.size() - 3), negative, num, error)) return false;
    out = Node::call("topercentage", {std::move(num)});
    return true;
  }
  if (kind == NumberKind::Fraction) {
    uint32_t w;
    std::string spelling = negative ? "-" + word : word;
    if (fraction_literal(word, negative, w)) {
      out.kind = Node::Float;
      out.word = w;
      out.text = spelling;
    } else if (!negative) {
      // Converted by the command that receives it, like any number text.
      out = Node::word_text(word);
    } else {
      // A text with a minus does not read as a fraction, and negate makes
      // texts integers: 0 minus the magnitude's text is the exact value.
      out = Node::call("subtract", {Node::integer(0), Node::word_text(word)});
    }
    return true;
  }
  // An integer: a literal word when it fits 30 bits, else built at run
  // time from pieces that do (nothing else gives the exact integer).
  constexpr uint64_t kMax = uint64_t(1) << 62;  // values run from -2^62 to 2^62 - 1
  uint64_t magnitude;
  if (!parse_decimal(word, kMax, magnitude) || (!negative && magnitude == kMax)) {
    error = "the integer " + std::string(negative ? "-" : "") + word +
            " is too large (integers run from -4611686018427387904 to 4611686018427387903)";
    return false;
  }
  int64_t v = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  struct Build {
    static Node of(int64_t x) {
      if (fits_literal(x)) return Node::integer(x);
      constexpr int64_t kBase = 1000000000;
      Node high = Node::call("multiply", {of(x / kBase), Node::integer(kBase)});
      if (x % kBase == 0) return high;
      return Node::call("add", {std::move(high), Node::integer(x % kBase)});
    }
  };
  out = Build::of(v);
  return true;
}

bool parse_expression(const std::vector<Token>& toks, size_t begin, size_t end, ExprContext& ctx, Node& out) {
  Parser p(toks, begin, end, ctx);
  return p.parse(out);
}

}  // namespace compiler
