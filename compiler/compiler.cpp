#include "compiler/compiler.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <tuple>

#include "compiler/expression.h"
#include "compiler/lexer.h"
#include "compiler/numbers.h"
#include "compiler/source_text.h"
#include "compiler/suggest.h"

namespace compiler {
namespace {

// Whether a word begins a keyword statement (the table after Compiler).
bool is_keyword(const std::string& w);

// Names of labels and variables start with a letter, '_' or a byte above 127.
bool is_name(const std::string& w) {
  if (w.empty()) return false;
  unsigned char c = static_cast<unsigned char>(w[0]);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}

// A token range [begin, end) of a statement: one blank-separated word.
struct Word {
  size_t begin, end;
};

// Splits tokens into words: a blank outside parentheses and brackets
// starts a new word.
std::vector<Word> split_words(const std::vector<Token>& t, size_t begin, size_t end) {
  std::vector<Word> words;
  int depth = 0;
  for (size_t i = begin; i < end; i++) {
    if (i == begin || (t[i].blank_before && depth == 0)) words.push_back({i, i + 1});
    words.back().end = i + 1;
    if (t[i].kind == Tok::Op) {
      if (t[i].text == "(" || t[i].text == "[") depth++;
      if ((t[i].text == ")" || t[i].text == "]") && depth > 0) depth--;
    }
  }
  return words;
}

// The label a label line defines: a line in the first column holding one
// word, optionally ending in ':', that is no command, keyword or number.
// Sets `bad` when the word ends in ':' but cannot be a label.
std::string label_line_name(const SourceStatement& st, std::string& bad) {
  if (!st.first_column || st.tokens.size() != 1 || st.tokens[0].kind != Tok::Word) return "";
  std::string w = lower(st.tokens[0].text);
  bool colon = w.size() > 1 && w.back() == ':';
  if (colon) w.pop_back();
  if (!is_name(w) || w.find(':') != std::string::npos) {
    if (colon) bad = "'" + w + "' cannot be a label name";
    return "";
  }
  if (is_keyword(w) || is_command(w)) {
    if (colon) bad = "'" + w + "' is a " + std::string(is_keyword(w) ? "keyword" : "command") + " and cannot be a label";
    return "";
  }
  return w;
}

struct Where {
  int file, line, column;
};

struct Block {
  enum Kind { If, While, ForTo, ForCount, ForIn, ForRange, Count, Plain, When };
  Kind kind;
  int number;
  int line, column;
  std::string keyword;        // the word that opened it
  bool has_else = false;
  bool continue_used = false;
  bool const_count = false;
  std::string var;            // the for variable
  Node step;                  // the for step
  std::string counter;        // what @loop reads inside it ("" when nothing)
  bool is_loop() const { return kind != If && kind != When; }
};

class Compiler : public ExprContext {
 public:
  // A keyword statement as its handler receives it: the keyword, the words
  // after it and the keyword's token.
  struct KeywordLine {
    const std::string& kw;
    std::vector<Word> w;
    const Token& head;
  };
  struct StatementKeyword {
    std::string_view keyword;
    void (Compiler::*handler)(const KeywordLine&);
    std::optional<Block::Kind> opens;  // the block it opens (also when its line has an error)
    bool call_like;                    // compiles to one call: also a statement after `with`,
                                       // and written alone it is the keyword
  };
  static const StatementKeyword* statement_keyword(std::string_view word);

  Compiler(Compilation& out, const FileLoader& loader) : out_(out), loader_(loader) {}

  void run(const SourceFile& main) {
    collect(main);
    for (size_t f = 0; f < files_.size(); f++) compile_file(int(f));
    check_names();
  }

  // ExprContext
  const std::string& file() const override { return files_[file_].source.display; }
  Diagnostics& diag() override { return out_.diag; }
  std::string loop_counter() const override {
    for (size_t i = blocks_.size(); i-- > 0;) {
      if (blocks_[i].kind == Block::When) return "";
      if (!blocks_[i].counter.empty()) return blocks_[i].counter;
    }
    return "";
  }
  void label_reference(const std::string& label, int line, int column) override {
    refs_.push_back({label, {file_, line, column}, false});
  }
  void variable_read(const std::string& name, int line, int column) override {
    reads_.emplace(name, Where{file_, line, column});
  }
  void call_reference(const std::string& name, int line, int column) override {
    if (statement_head_ && statement_head_->line == line && statement_head_->column == column) return;
    calls_.push_back({name, {file_, line, column}, true});
  }

 private:
  struct File {
    SourceFile source;
    std::vector<SourceStatement> statements;
    int name_index;
  };
  struct Ref {
    std::string label;
    Where where;
    bool maybe_command;  // written where a command could stand: commands are suggested too
  };

  // A word that calls a label as a statement: the label may belong to a
  // script that this one links to at run time, so a missing one is a warning.
  void statement_call_reference(const std::string& label, const Token& head) {
    if (!labels_.count(label)) refs_.push_back({label, {file_, head.line, head.column}, true});
  }

  // Jumps and statement calls to labels no script defines are warnings;
  // a call inside an expression must name a label or a function that the
  // script declares with dllsetup, else nothing could answer it.
  void check_names() {
    std::vector<std::string> labels = label_names();
    for (const Ref& r : refs_) {
      if (labels_.count(r.label) || declared_.count(r.label)) continue;
      out_.diag.warning(files_[r.where.file].source.display, r.where.line, r.where.column,
                        "the label '" + r.label + "' is never defined" + did_you_mean(r.label, labels, r.maybe_command));
    }
    check_variables();
    std::vector<std::string> known = labels;
    known.insert(known.end(), declared_.begin(), declared_.end());
    for (const Ref& r : calls_) {
      if (labels_.count(r.label) || declared_.count(r.label)) continue;
      const std::string& file = files_[r.where.file].source.display;
      std::string m = "the call " + r.label + "(...) names neither a command nor a label of this script" +
                      did_you_mean(r.label, known, true);
      if (computed_declare_)  // a function that a dllsetup with computed names declares may answer it
        out_.diag.warning(file, r.where.line, r.where.column, m);
      else
        out_.diag.error(file, r.where.line, r.where.column, m);
    }
  }

  // A variable read by name that nothing in the program names otherwise
  // is never set: it reads the environment variable of its name, or null.
  // Not checked when the program sets variables of computed names, nor
  // when it has errors (its statements are then not all known).
  void check_variables() {
    if (computed_names_ || out_.diag.errors() > 0) return;
    std::vector<std::pair<Where, std::string>> unset;
    for (const auto& [name, where] : reads_) {
      if (mentioned_.count(name) || std::getenv(name.c_str()) || std::getenv(upper(name).c_str())) continue;
      unset.push_back({where, name});
    }
    std::sort(unset.begin(), unset.end(), [](const auto& a, const auto& b) {
      return std::tie(a.first.file, a.first.line, a.first.column) < std::tie(b.first.file, b.first.line, b.first.column);
    });
    std::vector<std::string> names;
    for (const std::string& m : mentioned_)
      if (is_name(m) && !reads_.count(m) && !is_command(m)) names.push_back(m);
    for (const auto& [where, name] : unset)
      out_.diag.warning(files_[where.file].source.display, where.line, where.column,
                        "the variable '" + name + "' is read but never set in this script" +
                            did_you_mean(name, names, false));
  }

  static std::string upper(std::string s) {
    for (char& c : s)
      if (c >= 'a' && c <= 'z') c = char(c - 32);
    return s;
  }

  // What the compiler learns from the calls it emits: the functions that
  // dllsetup declares (source order: library, [result type], name, [types]),
  // and every word or text that is not read as a variable (@name): any of
  // them may name a variable that a command sets (set, local, imagenew,
  // memnew, fileopen into a variable ...).
  void note_calls(const Node& n) {
    if (n.kind == Node::Text) mentioned_.insert(lower(n.text));
    if (n.kind != Node::Call) return;
    if (n.text == "at" && n.pushes.size() == 1 && n.pushes[0].kind == Node::Text) return;  // a read
    if (n.text == "filegetvariables" || n.text == "varenvdef" || n.text == "vardef") computed_names_ = true;
    if (n.text == "set" || n.text == "local" || n.text == "global") {
      // Targets: set's second push, every second push of local and global.
      for (size_t i = 1; i < n.pushes.size(); i += 2) {
        const Node& target = n.pushes[i];
        if (target.kind == Node::Call && target.text != "arrayref") computed_names_ = true;
      }
    }
    if (n.text == "dllsetup") {
      for (size_t i = 0; i + 1 < n.pushes.size(); i++) {
        if (n.pushes[i].kind == Node::Text)
          declared_.insert(lower(n.pushes[i].text));
        else
          computed_declare_ = true;
      }
    }
    for (const Node& p : n.pushes) note_calls(p);
  }

  // --- pass 1: the files, their labels and merges ----------------------------

  void collect(const SourceFile& main) {
    std::set<std::string> seen{main.key};
    std::vector<SourceFile> queue{main};
    for (size_t q = 0; q < queue.size(); q++) {
      File f;
      f.source = queue[q];
      f.source.text = source_to_code_page(f.source.display, f.source.text, out_.diag);
      f.statements = lex(f.source.display, f.source.text, out_.diag);
      auto it = std::find(out_.program.files.begin(), out_.program.files.end(), f.source.name);
      f.name_index = int(it - out_.program.files.begin());
      if (it == out_.program.files.end()) out_.program.files.push_back(f.source.name);
      int index = int(files_.size());
      for (const SourceStatement& st : f.statements) {
        std::string bad;
        std::string label = label_line_name(st, bad);
        if (!label.empty()) {
          auto [pos, fresh] = labels_.emplace(label, Where{index, st.line, st.tokens[0].column});
          if (label[0] == '_') {
            out_.diag.error(f.source.display, st.line, st.tokens[0].column,
                            "label names beginning with '_' are kept for the compiler's own labels");
          } else if (!fresh) {
            out_.diag.error(f.source.display, st.line, st.tokens[0].column,
                            "the label '" + label + "' is defined twice (first at " +
                                files_or(queue, pos->second.file) + ":" + std::to_string(pos->second.line) + ")");
          }
        }
        std::string merged;
        if (merge_name(st, merged)) {
          SourceFile m;
          if (!loader_(f.source, merged, m)) {
            out_.diag.error(f.source.display, st.line, st.tokens[1].column,
                            "scriptmerge: cannot find the script '" + merged + "'");
          } else if (seen.insert(m.key).second) {
            queue.push_back(std::move(m));
          }
        }
      }
      files_.push_back(std::move(f));
    }
  }

  std::vector<std::string> label_names() const {
    std::vector<std::string> out;
    for (const auto& [name, where] : labels_) out.push_back(name);
    return out;
  }

  std::string files_or(const std::vector<SourceFile>& queue, int index) const {
    return size_t(index) < queue.size() ? queue[size_t(index)].display : "?";
  }

  static bool merge_name(const SourceStatement& st, std::string& name) {
    const auto& t = st.tokens;
    if (t.size() != 2 || t[0].kind != Tok::Word || lower(t[0].text) != "scriptmerge") return false;
    if (t[1].kind == Tok::Text) {
      name = t[1].text;
      return true;
    }
    if (t[1].kind == Tok::Word) {
      name = lower(t[1].text);
      return true;
    }
    return false;
  }

  // --- pass 2: statements ------------------------------------------------------

  void compile_file(int f) {
    file_ = f;
    blocks_.clear();
    for (const SourceStatement& st : files_[f].statements) {
      st_ = &st;
      cur_ = Statement{};
      cur_.file = files_[f].name_index;
      cur_.line = st.line;
      cur_.source = st.source;
      int errors = out_.diag.errors();
      statement();
      if (out_.diag.errors() == errors) out_.program.statements.push_back(std::move(cur_));
    }
    // Blocks left open: innermost last, reported where they opened.
    for (const Block& b : blocks_) {
      out_.diag.error(file(), b.line, b.column,
                      "the " + b.keyword + " opened here is never closed: " + closing_word(b) +
                          " is missing before the end of the file");
    }
  }

  static std::string closing_word(const Block& b) {
    switch (b.kind) {
      case Block::If: return "endif";
      case Block::While: return "endwhile";
      case Block::When: return "endwhen";
      case Block::Count:
      case Block::Plain: return b.keyword == "for" ? "next" : "endloop";
      default: return "next";
    }
  }

  bool error(const Token& t, std::string message) {
    out_.diag.error(file(), t.line, t.column, std::move(message));
    return false;
  }
  bool error_at_start(std::string message) { return error(st_->tokens[0], std::move(message)); }

  const std::vector<Token>& toks() const { return st_->tokens; }

  std::string word_name(const Word& w) const {
    if (w.end - w.begin != 1 || toks()[w.begin].kind != Tok::Word) return "";
    return lower(toks()[w.begin].text);
  }

  bool expr(size_t begin, size_t end, Node& out) { return parse_expression(toks(), begin, end, *this, out); }
  bool expr(const Word& w, Node& out) { return expr(w.begin, w.end, out); }
  // A value that may be the word on or off (1 and 0).
  bool switch_value(const Word& w, Node& out) {
    std::string n = word_name(w);
    if (n == "on" || n == "off") {
      out = Node::integer(n == "on" ? 1 : 0);
      return true;
    }
    return expr(w, out);
  }
  bool args(const std::vector<Word>& words, size_t from, std::vector<Node>& reversed) {
    std::vector<Node> a;
    for (size_t i = from; i < words.size(); i++) {
      if (blanks_around_operator(words, from, i)) return false;
      Node n;
      if (!expr(words[i], n)) return false;
      a.push_back(std::move(n));
    }
    for (size_t i = a.size(); i-- > 0;) reversed.push_back(std::move(a[i]));
    return true;
  }

  // An argument that begins or ends with an operator written between two
  // operands, beside another argument: the author put blanks around the
  // operator ("Score: " $ @score), which split one expression into several
  // arguments. Reported with the expression written without the blanks.
  bool blanks_around_operator(const std::vector<Word>& words, size_t from, size_t i) {
    const auto& t = toks();
    const Word& w = words[i];
    const Token& first = t[w.begin];
    const Token& last = t[w.end - 1];
    bool unary = first.kind == Tok::Op && (first.text == "-" || first.text == "+" || first.text == "!");
    bool joins_before = i > from && is_binary_operator(first) && !(unary && w.end - w.begin > 1);
    bool joins_after = i + 1 < words.size() && is_binary_operator(last);
    if (!joins_before && !joins_after) return false;
    const Token& op = joins_before ? first : last;
    std::string joined;
    for (size_t k = joins_before ? i - 1 : i; k <= i + (joins_after ? 1 : 0) && k < words.size(); k++)
      for (size_t j = words[k].begin; j < words[k].end; j++)
        joined += t[j].kind == Tok::Text ? "\"" + t[j].raw + "\"" : t[j].text;
    error(op, "blanks separate arguments, so '" + op.text + "' here has no " + (joins_before ? "left" : "right") +
                  " operand: write " + joined + " without blanks around the operator");
    return true;
  }

  // --- emitting ---------------------------------------------------------------

  void emit(const Node& n) {
    note_calls(n);
    append_node(cur_.postfix, n);
  }
  void emit_call(const Node& call) {
    bool discard = call.kind == Node::Call && command_yields(call.text, call.pushes.size());
    if (discard) cur_.postfix.push_back(Elem(Elem::OpenBrace));
    emit(call);
    if (discard) cur_.postfix.push_back(Elem(Elem::CloseBrace));
  }
  void emit_discarded(const Node& call) {
    cur_.postfix.push_back(Elem(Elem::OpenBrace));
    emit(call);
    cur_.postfix.push_back(Elem(Elem::CloseBrace));
  }
  void ctl(Control c, const std::string& label = "") {
    Elem e(Elem::Ctl);
    e.control = c;
    e.text = label;
    cur_.postfix.push_back(std::move(e));
  }
  void label(const std::string& l) { ctl(Control::Label, l); }

  static std::string num(const char* prefix, int n) { return prefix + std::to_string(n); }
  static Node text(const std::string& s) { return Node::word_text(s); }
  static Node at(const std::string& var) { return Node::call("at", {text(var)}); }
  static Node call(const std::string& c, std::vector<Node> pushes = {}) { return Node::call(c, std::move(pushes)); }

  // --- statements -------------------------------------------------------------

  void statement() {
    const auto& t = toks();
    std::string bad;
    std::string lbl = label_line_name(*st_, bad);
    if (!bad.empty()) {
      error_at_start(bad);
      return;
    }
    if (!lbl.empty()) {
      label(lbl);
      return;
    }
    if (assignment(0, t.size())) return;
    if (t[0].kind == Tok::Word) {
      std::string first = lower(t[0].text);
      if (is_keyword(first) && !(t.size() > 1 && t[1].kind == Tok::Op && t[1].text == "(" && !t[1].blank_before &&
                                 is_command(first))) {
        keyword(first);
        return;
      }
    }
    simple(0, t.size(), true);
  }

  // name = expr (and name[i] = expr, @p = expr). False when the statement
  // holds no assignment; true when it did (compiled or reported).
  bool assignment(size_t begin, size_t end) {
    const auto& t = toks();
    std::vector<Word> words = split_words(t, begin, end);
    size_t eq = end;
    int depth = 0;
    for (size_t i = begin; i < end; i++) {
      if (t[i].kind != Tok::Op) continue;
      if (t[i].text == "(" || t[i].text == "[") depth++;
      if (t[i].text == ")" || t[i].text == "]") depth--;
      if (t[i].text == "=" && depth == 0) {
        eq = i;
        break;
      }
    }
    if (eq == end) return false;
    bool in_first = eq < words[0].end;
    bool starts_second = words.size() > 1 && eq == words[1].begin;
    if (!in_first && !starts_second) return false;
    if (eq == begin) {
      error(t[eq], "'=' needs a variable name before it");
      return true;
    }
    if (eq + 1 >= end) {
      error(t[eq], "'=' needs a value after it");
      return true;
    }
    Node value;
    std::string target;
    if (eq - begin == 1 && t[begin].kind == Tok::Word) target = lower(t[begin].text);
    bool system = !target.empty() && is_system_variable(target);
    if (system && end - eq == 2 && t[eq + 1].kind == Tok::Word &&
        (lower(t[eq + 1].text) == "on" || lower(t[eq + 1].text) == "off")) {
      value = Node::integer(lower(t[eq + 1].text) == "on" ? 1 : 0);
    } else if (!expr(eq + 1, end, value)) {
      return true;
    }
    if (system) {
      emit(call("var_" + target, {std::move(value)}));
      return true;
    }
    Node lhs;
    if (!target.empty()) {
      if (!is_name(target)) {
        error(t[begin], "cannot assign to '" + t[begin].text + "'");
        return true;
      }
      lhs = text(target);
    } else if (!expr(begin, eq, lhs)) {
      return true;
    }
    emit(call("set", {std::move(value), std::move(lhs)}));
    return true;
  }

  // A command, a label call, or the bare pushes of a line that calls
  // nothing. `top` is false inside `with`, where keywords have no place.
  void simple(size_t begin, size_t end, bool top) {
    const auto& t = toks();
    std::vector<Word> words = split_words(t, begin, end);
    const Token& head = t[begin];
    if (head.kind != Tok::Word) {
      bare(words, 0);
      return;
    }
    std::string first = lower(head.text);
    const StatementKeyword* keyword_of_first = statement_keyword(first);
    bool call_word = keyword_of_first && keyword_of_first->call_like;
    if (call_word && words[0].end - words[0].begin == 1) {
      keyword(first, begin);
      return;
    }
    if (!top && keyword_of_first && !call_word) {
      error(head, "'" + first + "' cannot follow with: it needs a command");
      return;
    }
    // cmd(a, b) on a line is cmd a b.
    if (words[0].end - words[0].begin > 1) {
      const Token& second = t[begin + 1];
      if (second.kind == Tok::Op && second.text == "(" && !second.blank_before && is_name(first)) {
        if (words.size() > 1) {
          error(t[words[1].begin], "a call written " + first + "(...) takes all its arguments inside the parentheses");
          return;
        }
        Node n;
        statement_head_ = &head;
        bool parsed = expr(words[0], n);
        statement_head_ = nullptr;
        if (!parsed) return;
        if (n.kind != Node::Call || n.text != first) {
          bare(words, 0);
          return;
        }
        if (is_command(first)) {
          emit_call(n);
        } else {
          statement_call_reference(first, head);
          emit_discarded(n);
        }
        return;
      }
      bare(words, 0);
      return;
    }
    std::vector<Node> pushes;
    if (is_command(first)) {
      if (!args(words, 1, pushes)) return;
      if (std::string m = frameless_misuse(first, pushes.size()); !m.empty()) {
        error(head, m);
        return;
      }
      if (std::string m = argument_count_misuse(first, pushes.size()); !m.empty())
        out_.diag.warning(file(), head.line, head.column, m);
      emit_call(call(first, std::move(pushes)));
      return;
    }
    if (!is_name(first)) {
      bare(words, 0);
      return;
    }
    if (labels_.count(first) || words.size() == 1) {
      // A label as a statement calls it as a subroutine; so does a lone
      // word that names no command (it may be a library function).
      statement_call_reference(first, head);
      if (!args(words, 1, pushes)) return;
      emit_discarded(call(first, std::move(pushes)));
      return;
    }
    out_.diag.warning(file(), head.line, head.column,
                      "'" + first + "' is neither a command nor a label: the words of this line are pushed and "
                      "nothing is called" + did_you_mean(first, label_names(), true));
    bare(words, 0, false);
  }

  // The pushes of a line that calls nothing (a warning says so, unless
  // the line's first word was already reported).
  void bare(const std::vector<Word>& words, size_t from, bool warn = true) {
    if (warn) {
      const Token& head = toks()[words[from].begin];
      out_.diag.warning(file(), head.line, head.column, "this line calls nothing: its values are pushed and left");
    }
    for (size_t i = from; i < words.size(); i++) {
      Node n;
      if (!expr(words[i], n)) return;
      emit(n);
    }
  }

  Block* innermost_loop() {
    for (size_t i = blocks_.size(); i-- > 0;) {
      if (blocks_[i].kind == Block::When) return nullptr;
      if (blocks_[i].is_loop()) return &blocks_[i];
    }
    return nullptr;
  }
  static std::string loop_end(const Block& b) {
    return b.kind == Block::While ? num("_endwhile", b.number) : num("_endloop", b.number);
  }

  // Finds the block that `word` closes; reports a missing or crossed one.
  Block* closing(const std::string& word, std::initializer_list<Block::Kind> kinds, const char* opening) {
    auto matches = [&](const Block& b) { return std::find(kinds.begin(), kinds.end(), b.kind) != kinds.end(); };
    if (!blocks_.empty() && matches(blocks_.back())) return &blocks_.back();
    for (size_t i = blocks_.size(); i-- > 0;) {
      if (matches(blocks_[i])) {
        const Block& inner = blocks_.back();
        error_at_start(word + " closes the " + blocks_[i].keyword + " of line " + std::to_string(blocks_[i].line) +
                       ", but the " + inner.keyword + " opened at line " + std::to_string(inner.line) +
                       " is still open");
        // Taken as closed, so that one misplaced word makes one message.
        blocks_.resize(i);
        return nullptr;
      }
    }
    error_at_start(word + " without " + opening);
    return nullptr;
  }

  // A keyword statement, run by its handler in the statement table. An
  // opening word whose statement has an error still opens its block, so that
  // its closing word does not report it again; `if ... break` (or continue)
  // is a whole statement and opens none.
  void keyword(const std::string& kw, size_t begin = 0) {
    const StatementKeyword* s = statement_keyword(kw);
    if (!s) return;
    const auto& t = toks();
    size_t depth = blocks_.size();
    int errors = out_.diag.errors();
    (this->*s->handler)({kw, split_words(t, begin + 1, t.size()), t[begin]});
    if (!s->opens || out_.diag.errors() == errors || blocks_.size() != depth) return;
    const Token& last = t.back();
    bool one_line = last.kind == Tok::Word && (lower(last.text) == "continue" || lower(last.text) == "break");
    if (!(kw == "if" && one_line)) open(*s->opens, 0, kw);
  }

  // For the statements that take nothing after the keyword.
  bool no_args(const KeywordLine& k) {
    if (!k.w.empty()) return error(toks()[k.w[0].begin], k.kw + " takes nothing after it");
    return true;
  }

  void if_statement(const KeywordLine& k) {
    const auto& t = toks();
    if (k.w.empty()) return void(error(k.head, "if needs a condition"));
    std::string last = word_name(k.w.back());
    if (k.w.size() >= 2 && (last == "continue" || last == "break")) {
      Block* loop = innermost_loop();
      if (!loop) return void(error(t[k.w.back().begin], last + " outside a loop"));
      Node cond;
      if (!expr(k.w[0].begin, k.w.back().begin, cond)) return;
      emit(cond);
      if (last == "continue") {
        loop->continue_used = true;
        ctl(Control::If, num("_continueloop", loop->number));
      } else {
        ctl(Control::If, loop_end(*loop));
      }
      return;
    }
    Node cond;
    if (!expr(k.w[0].begin, t.size(), cond)) return;
    int n = ++count_if_;
    emit(cond);
    ctl(Control::IfNot, num("_else", n));
    open(Block::If, n, k.kw);
  }

  void else_statement(const KeywordLine& k) {
    if (!no_args(k)) return;
    Block* b = closing(k.kw, {Block::If}, "if");
    if (!b) return;
    if (b->has_else) return void(error_at_start("a second else for the if of line " + std::to_string(b->line)));
    b->has_else = true;
    ctl(Control::Goto, num("_endif", b->number));
    label(num("_else", b->number));
  }

  void endif_statement(const KeywordLine& k) {
    if (!no_args(k)) return;
    Block* b = closing(k.kw, {Block::If}, "if");
    if (!b) return;
    if (!b->has_else) label(num("_else", b->number));
    label(num("_endif", b->number));
    blocks_.pop_back();
  }

  void while_statement(const KeywordLine& k) {
    const auto& t = toks();
    if (k.w.empty()) return void(error(k.head, "while needs a condition"));
    Node cond;
    if (!expr(k.w[0].begin, t.size(), cond)) return;
    int m = ++count_loop_;
    label(num("_while", m));
    emit(cond);
    ctl(Control::IfNot, num("_endwhile", m));
    open(Block::While, m, k.kw);
  }

  void endwhile_statement(const KeywordLine& k) {
    if (!no_args(k)) return;
    if (Block* b = closing(k.kw, {Block::While}, "while")) close_loop(*b);
  }

  void next_statement(const KeywordLine& k) {
    const auto& t = toks();
    if (k.w.size() > 1) return void(error(t[k.w[1].begin], "next takes at most the loop's variable"));
    Block* b = closing(k.kw, {Block::While, Block::ForTo, Block::ForCount, Block::ForIn, Block::ForRange,
                            Block::Count, Block::Plain},
                       "for");
    if (!b) return;
    if (k.w.size() == 1 && word_name(k.w[0]) != b->var) {
      error(t[k.w[0].begin], "next " + word_name(k.w[0]) + " closes a loop " +
                               (b->var.empty() ? "without a variable" : "over " + b->var));
      blocks_.pop_back();
      return;
    }
    close_loop(*b);
  }

  void endloop_statement(const KeywordLine& k) {
    if (!no_args(k)) return;
    Block* b = closing(k.kw, {Block::ForTo, Block::ForCount, Block::ForIn, Block::ForRange, Block::Count,
                            Block::Plain},
                       "beginloop");
    if (b) close_loop(*b);
  }

  void beginloop_statement(const KeywordLine& k) {
    const auto& t = toks();
    if (k.w.size() > 1) return void(error(t[k.w[1].begin], "beginloop takes at most a count"));
    if (k.w.empty()) {
      int m = ++count_loop_;
      label(num("_beginloop", m));
      open(Block::Plain, m, k.kw);
      return;
    }
    Node count;
    if (!expr(k.w[0], count)) return;
    count_loop(count, k.kw);
  }

  void loop_jump_statement(const KeywordLine& k) {
    if (!no_args(k)) return;
    Block* loop = innermost_loop();
    if (!loop) return void(error_at_start(k.kw + " outside a loop"));
    if (k.kw == "break") {
      ctl(Control::Goto, loop_end(*loop));
    } else {
      loop->continue_used = true;
      ctl(Control::Goto, num("_continueloop", loop->number));
    }
  }

  void forever_statement(const KeywordLine& k) {
    if (!no_args(k)) return;
    int n = ++count_forever_;
    label(num("_forever", n));
    ctl(Control::IdleGoto, num("_forever", n));
  }

  void delay_statement(const KeywordLine& k) {
    if (k.w.size() != 1) return void(error(k.head, "delay needs one time (in hundredths of a second)"));
    Node time;
    if (!expr(k.w[0], time)) return;
    int n = ++count_forever_;
    std::string timer = num("_ftimer", n), loop = num("_forever", n);
    emit(call("timerinit", {text(timer)}));
    label(loop);
    emit(call("greaterthan", {tenfold(std::move(time)), at(timer)}));
    ctl(Control::IdleIf, loop);
    emit(call("free", {text(timer)}));
  }

  void wait_statement(const KeywordLine& k) {
    const auto& t = toks();
    if (k.w.size() > 1) return void(error(t[k.w[1].begin], k.kw + " takes at most a time"));
    std::string var = k.kw == "wait" ? "var_mousekey" : k.kw == "waitkey" ? "var_keypressed" : "var_mousepressed";
    int n = ++count_wait_;
    std::string loop = num("_wait", n);
    if (k.w.empty()) {
      emit(call(var, {Node::integer(0)}));
      label(loop);
      emit(call(var));
      ctl(Control::IdleIfNot, loop);
      return;
    }
    Node time;
    if (!expr(k.w[0], time)) return;
    std::string timer = num("_ftimer", n), quit = num("_waitquit", n);
    emit(call("timerinit", {text(timer)}));
    emit(call(var, {Node::integer(0)}));
    label(loop);
    emit(call(var));
    ctl(Control::If, quit);
    emit(call("greaterthan", {tenfold(std::move(time)), at(timer)}));
    ctl(Control::IdleIf, loop);
    label(quit);
    emit(call("free", {text(timer)}));
  }

  void mouseflush_statement(const KeywordLine& k) {
    if (!no_args(k)) return;
    int n = ++count_wait_;
    emit(call("mouseflushclicks"));
    label(num("_wait", n));
    emit(call("var_mouseup"));
    ctl(Control::IdleIfNot, num("_wait", n));
  }

  void endwhen_statement(const KeywordLine& k) {
    if (!no_args(k)) return;
    Block* b = closing(k.kw, {Block::When}, "when");
    if (!b) return;
    ctl(Control::Return);
    label(num("_endwhen", b->number));
    blocks_.pop_back();
  }

  void imagefade_statement(const KeywordLine& k) {
    std::vector<Node> pushes;
    if (!args(k.w, 0, pushes)) return;
    int n = ++count_imagefade_;
    std::string fade = num("_imagefade", n), loop = num("_imagefadeloop", n);
    pushes.push_back(text(fade));
    emit_call(call(k.kw == "imagefade" ? "imagefadebegin" : "imagefadexybegin", std::move(pushes)));
    label(loop);
    emit(call("imagefadecheck", {text(fade)}));
    ctl(Control::If, loop);
    emit_call(call("imagefadefree", {text(fade)}));
  }

  void inputline_statement(const KeywordLine& k) {
    std::vector<Node> pushes;
    if (!args(k.w, 0, pushes)) return;
    int n = ++count_input_;
    std::string input = num("_input", n), loop = num("_inputloop", n);
    pushes.push_back(text(input));
    emit_call(call("inputlinebegin", std::move(pushes)));
    label(loop);
    emit(call("inputcheck", {text(input)}));
    ctl(Control::IdleIf, loop);
    emit_call(call("inputend", {text(input)}));
  }

  void scriptmerge_statement(const KeywordLine& k) {
    // The merge itself happened while the files were collected.
    std::string name;
    if (!merge_name(*st_, name)) return void(error(k.head, "scriptmerge needs the script's name written out"));
    std::vector<Node> pushes;
    if (!args(k.w, 0, pushes)) return;
    emit_call(call("scriptmerge", std::move(pushes)));
  }

  void gosub_statement(const KeywordLine& k) {
    const auto& t = toks();
    if (k.w.empty()) return void(error(k.head, "gosub needs a label"));
    std::vector<Node> pushes;
    if (!args(k.w, 1, pushes)) return;
    std::string target = word_name(k.w[0]);
    if (!target.empty() && is_name(target)) {
      label_reference(target, t[k.w[0].begin].line, t[k.w[0].begin].column);
      emit_discarded(call(target, std::move(pushes)));
      return;
    }
    Node computed;
    if (!expr(k.w[0], computed)) return;
    pushes.push_back(std::move(computed));
    emit_discarded(call("", std::move(pushes)));
  }

  void goto_statement(const KeywordLine& k) {
    const auto& t = toks();
    if (k.w.size() != 1) return void(error(k.head, "goto needs one label"));
    std::string target = word_name(k.w[0]);
    if (!target.empty() && !is_name(target))
      return void(error(t[k.w[0].begin], "goto needs a label: '" + target + "' cannot be one"));
    if (!target.empty() && is_name(target)) {
      label_reference(target, t[k.w[0].begin].line, t[k.w[0].begin].column);
      ctl(Control::Goto, target);
      return;
    }
    Node computed;
    if (!expr(k.w[0], computed)) return;
    emit(computed);
    ctl(Control::Goto);
  }

  void return_statement(const KeywordLine& k) {
    const auto& t = toks();
    if (!k.w.empty()) {
      Node value;
      if (!expr(k.w[0].begin, t.size(), value)) return;
      emit(value);
    }
    ctl(Control::Return);
  }

  void quit_statement(const KeywordLine& k) {
    std::vector<Node> pushes;
    if (!args(k.w, 0, pushes)) return;
    emit_discarded(call("quit", std::move(pushes)));
  }

  void set_statement(const KeywordLine& k) {
    if (k.w.size() == 2) {
      std::string name = word_name(k.w[0]);
      Node value;
      if (!switch_value(k.w[1], value)) return;
      if (is_system_variable(name)) {
        emit(call("var_" + name, {std::move(value)}));
        return;
      }
      Node target;
      if (!expr(k.w[0], target)) return;
      emit(call("set", {std::move(value), std::move(target)}));
      return;
    }
    std::vector<Node> pushes;
    if (!args(k.w, 0, pushes)) return;
    emit_call(call("set", std::move(pushes)));
  }

  void declare_statement(const KeywordLine& k) {
    std::vector<Node> pushes;
    if (!args(k.w, 0, pushes)) return;
    pushes.push_back(Node::integer(1));
    emit_call(call("declare", std::move(pushes)));
  }

  void open(Block::Kind kind, int number, const std::string& kw) {
    Block b;
    b.kind = kind;
    b.number = number;
    b.line = st_->line;
    b.column = toks()[0].column;
    b.keyword = kw;
    blocks_.push_back(std::move(b));
  }

  // t × 10, computed here when t is an integer (delay 100 waits 1000 ms).
  static Node tenfold(Node t) {
    if (t.kind == Node::Int && fits_literal(t.value * 10)) return Node::integer(t.value * 10);
    return call("multiply", {std::move(t), Node::integer(10)});
  }

  // A negative number as written: an integer or float literal, or a
  // fraction no literal holds, which compiles to (0 text subtract).
  static bool negative_constant(const Node& n) {
    if (n.kind == Node::Int) return n.value < 0;
    if (n.kind == Node::Float) return (n.word >> 29) & 1;
    return n.kind == Node::Call && n.text == "subtract" && n.pushes.size() == 2 && n.pushes[0].kind == Node::Int &&
           n.pushes[0].value == 0 && n.pushes[1].kind == Node::Text && !n.pushes[1].quoted;
  }

  void for_statement(const KeywordLine& k) {
    const std::vector<Word>& w = k.w;
    const auto& t = toks();
    auto kw = [&](size_t i) { return i < w.size() ? word_name(w[i]) : std::string(); };
    const char* usage =
        "for needs one of: for V from A to B [step S], for V from A count C [step S], for V in LIST, "
        "for A to B, for COUNT";
    if (w.empty()) return void(error_at_start(usage));
    if (kw(1) == "from") {
      std::string var = kw(0);
      if (!is_name(var)) return void(error(t[w[0].begin], "the loop variable must be a name"));
      std::string form = kw(3);
      if ((w.size() != 5 && w.size() != 7) || (form != "to" && form != "count") ||
          (w.size() == 7 && kw(5) != "step"))
        return void(error_at_start(usage));
      Node from, limit, step = Node::integer(1);
      if (!expr(w[2], from) || !expr(w[4], limit)) return;
      if (w.size() == 7 && !expr(w[6], step)) return;
      int m = ++count_loop_;
      std::string begin = num("_beginloop", m), end = num("_endloop", m);
      emit(call("local", {std::move(from), text(var)}));
      if (form == "to") {
        label(begin);
        // A negative constant step counts down: the loop ends below the limit.
        emit(call(negative_constant(step) ? "lessthan" : "greaterthan", {at(var), std::move(limit)}));
        ctl(Control::If, end);
        open(Block::ForTo, m, "for");
      } else {
        std::string lci = num("_lci", m), count = num("_loopcount", m);
        emit(call("local", {Node::integer(1), text(lci)}));
        emit(call("local", {std::move(limit), text(count)}));
        label(begin);
        emit(call("greaterthan", {at(lci), at(count)}));
        ctl(Control::If, end);
        open(Block::ForCount, m, "for");
        blocks_.back().counter = lci;
      }
      blocks_.back().var = var;
      blocks_.back().step = std::move(step);
      return;
    }
    if (kw(1) == "in") {
      std::string var = kw(0);
      if (w.size() != 3 || !is_name(var)) return void(error_at_start(usage));
      Node list;
      if (!expr(w[2], list)) return;
      int m = ++count_loop_;
      std::string li = num("_li", m), in = num("_loopin", m), to = num("_loopto", m);
      emit(call("local", {Node::integer(1), text(li)}));
      emit(call("local", {std::move(list), text(in)}));
      emit(call("local", {call("strlinecount", {at(in)}), text(to)}));
      label(num("_beginloop", m));
      emit(call("greaterthan", {at(li), at(to)}));
      ctl(Control::If, num("_endloop", m));
      emit(call("local", {call("strline", {at(li), at(in)}), text(var)}));
      open(Block::ForIn, m, "for");
      blocks_.back().counter = li;
      blocks_.back().var = var;
      return;
    }
    if (kw(1) == "to") {
      if (w.size() != 3) return void(error_at_start(usage));
      Node from, limit;
      if (!expr(w[0], from) || !expr(w[2], limit)) return;
      int m = ++count_loop_;
      std::string li = num("_li", m), to = num("_loopto", m), step = num("_loopstep", m);
      emit(call("local", {std::move(from), text(li)}));
      emit(call("local", {std::move(limit), text(to)}));
      emit(call("local", {call("subtractsgnnozero", {at(to), at(li)}), text(step)}));
      label(num("_beginloop", m));
      emit(call("equal", {call("subtractsgn", {at(li), at(to)}), at(step)}));
      ctl(Control::If, num("_endloop", m));
      open(Block::ForRange, m, "for");
      blocks_.back().counter = li;
      return;
    }
    if (w.size() == 1) {
      Node count;
      if (!expr(w[0], count)) return;
      count_loop(count, "for");
      return;
    }
    error_at_start(usage);
  }

  void count_loop(const Node& count, const std::string& kw) {
    int m = ++count_loop_;
    std::string li = num("_li", m), lci = num("_lci", m), total = num("_loopcount", m);
    emit(call("local", {Node::integer(1), text(li)}));
    emit(call("local", {Node::integer(1), text(lci)}));
    bool constant = count.kind == Node::Int;
    if (!constant) emit(call("local", {count, text(total)}));
    label(num("_beginloop", m));
    emit(call("greaterthan", {at(lci), constant ? count : at(total)}));
    ctl(Control::If, num("_endloop", m));
    open(Block::Count, m, kw);
    blocks_.back().const_count = constant;
    blocks_.back().counter = li;
  }

  void close_loop(const Block& b) {
    int m = b.number;
    if (b.continue_used) label(num("_continueloop", m));
    std::string begin = num("_beginloop", m), end = num("_endloop", m);
    switch (b.kind) {
      case Block::While:
        ctl(Control::Goto, num("_while", m));
        label(num("_endwhile", m));
        break;
      case Block::ForTo:
        emit(call("inc", {b.step, text(b.var)}));
        ctl(Control::Goto, begin);
        label(end);
        break;
      case Block::ForCount:
        emit(call("inc", {b.step, text(b.var)}));
        emit(call("inc", {text(num("_lci", m))}));
        ctl(Control::Goto, begin);
        label(end);
        emit(call("free", {text(num("_loopcount", m)), text(num("_lci", m))}));
        break;
      case Block::ForIn:
        emit(call("inc", {Node::integer(1), text(num("_li", m))}));
        ctl(Control::Goto, begin);
        label(end);
        emit(call("free", {text(num("_loopin", m)), text(num("_li", m)), text(num("_loopto", m))}));
        break;
      case Block::ForRange:
        // The step is the sign of (start - limit): subtracting it moves toward the limit.
        emit(call("dec", {at(num("_loopstep", m)), text(num("_li", m))}));
        ctl(Control::Goto, begin);
        label(end);
        emit(call("free", {text(num("_loopstep", m)), text(num("_loopto", m)), text(num("_li", m))}));
        break;
      case Block::Count:
        emit(call("inc", {Node::integer(1), text(num("_li", m))}));
        emit(call("inc", {text(num("_lci", m))}));
        ctl(Control::Goto, begin);
        label(end);
        if (b.const_count)
          emit(call("free", {text(num("_lci", m)), text(num("_li", m))}));
        else
          emit(call("free", {text(num("_loopcount", m)), text(num("_lci", m)), text(num("_li", m))}));
        break;
      case Block::Plain:
        ctl(Control::Goto, begin);
        label(end);
        break;
      default:
        break;
    }
    blocks_.pop_back();
  }

  void when_statement(const KeywordLine& k) {
    const std::vector<Word>& w = k.w;
    const auto& t = toks();
    if (w.empty()) return void(error_at_start("when needs the event to wait for"));
    size_t action = w.size();
    for (size_t i = 1; i < w.size(); i++) {
      std::string n = word_name(w[i]);
      if (n == "gosub" || is_command(n) || labels_.count(n)) {
        action = i;
        break;
      }
    }
    std::vector<Node> trigger;
    std::vector<Word> event(w.begin(), w.begin() + long(action));
    if (action == w.size()) {
      int n = ++count_when_;
      open(Block::When, n, "when");
      if (!args(event, 0, trigger)) return;
      std::vector<Node> pushes{text(num("_when", n)), text("gosub")};
      for (Node& a : trigger) pushes.push_back(std::move(a));
      emit_call(call("whennew", std::move(pushes)));
      ctl(Control::Goto, num("_endwhen", n));
      label(num("_when", n));
      return;
    }
    if (!args(event, 0, trigger)) return;
    std::string head = word_name(w[action]);
    size_t first_arg = action + 1;
    if (head == "gosub") {
      if (action + 1 >= w.size()) return void(error(t[w[action].begin], "gosub needs a label"));
      head = word_name(w[action + 1]);
      if (!is_name(head)) return void(error(t[w[action + 1].begin], "gosub needs a label"));
      label_reference(head, t[w[action + 1].begin].line, t[w[action + 1].begin].column);
      first_arg = action + 2;
    }
    std::vector<Node> target;
    if (!args(w, first_arg, target)) return;
    target.push_back(text(head));
    std::vector<Node> pushes{call("arraylabel", std::move(target)), text("gosub")};
    for (Node& a : trigger) pushes.push_back(std::move(a));
    emit_call(call("whennew", std::move(pushes)));
  }

  void with_statement(const KeywordLine& k) {
    const std::vector<Word>& w = k.w;
    const auto& t = toks();
    if (w.size() < 3) return void(error_at_start("with needs a setting, its value and a statement"));
    std::string setting = word_name(w[0]);
    std::string var = setting == "color" ? "var_colornum" : "var_" + setting;
    if (setting.empty() || !is_command(var))
      return void(error(t[w[0].begin], "with: '" + (setting.empty() ? t[w[0].begin].text : setting) +
                                           "' is no setting (there is no system variable " + var + ")"));
    Node value;
    if (!switch_value(w[1], value)) return;
    emit(call("withpush", {text(var)}));
    emit(call(var, {std::move(value)}));
    size_t begin = w[2].begin;
    if (!assignment(begin, t.size())) simple(begin, t.size(), false);
    emit(call("withpop"));
  }

  void layer_statement(const KeywordLine& k) {
    const std::vector<Word>& w = k.w;
    const auto& t = toks();
    if (w.empty()) return void(error_at_start("layer needs the layer's name"));
    Node name;
    if (!expr(w[0], name)) return;
    size_t end = w.size();
    bool wait = end > 1 && word_name(w[end - 1]) == "wait";
    if (wait) end--;
    auto part_keyword = [&](size_t i) {
      std::string n = word_name(w[i]);
      return is_name(n) && is_command("layer" + n) ? n : std::string();
    };
    size_t i = 1;
    while (i < end) {
      std::string part = part_keyword(i);
      size_t first = part.empty() ? i : i + 1;
      size_t stop = first;
      while (stop < end && part_keyword(stop).empty()) stop++;
      if (part.empty()) {
        if (stop - first != 2)
          return void(error(t[w[i].begin], "layer: expected a part (such as position, image, text, to) or x y"));
        part = "position";
      }
      std::vector<Word> part_args(w.begin() + long(first), w.begin() + long(stop));
      std::vector<Node> pushes;
      if (!args(part_args, 0, pushes)) return;
      pushes.push_back(name);
      emit_call(call("layer" + part, std::move(pushes)));
      i = stop;
    }
    emit(call("layershowchanges", {name}));
    if (wait) {
      std::string loop = num("_laywait", ++count_laywait_);
      label(loop);
      emit(call("ele_layerbusy", {name}));
      ctl(Control::IdleIf, loop);
      emit(call("layershowchanges", {name}));
    }
  }

  Compilation& out_;
  const FileLoader& loader_;
  std::vector<File> files_;
  std::map<std::string, Where> labels_;
  std::vector<Ref> refs_;
  std::vector<Ref> calls_;
  std::set<std::string> declared_;   // functions declared with dllsetup
  bool computed_declare_ = false;    // a dllsetup whose names are computed at run time
  std::map<std::string, Where> reads_;  // variables read by name, where first read
  std::set<std::string> mentioned_;     // words and texts not read as variables
  bool computed_names_ = false;         // variables of computed names are set
  const Token* statement_head_ = nullptr;  // a statement's cmd(...) head, which is no expression call
  std::vector<Block> blocks_;
  int file_ = 0;
  const SourceStatement* st_ = nullptr;
  Statement cur_;
  int count_if_ = 0, count_loop_ = 0, count_forever_ = 0, count_wait_ = 0, count_when_ = 0;
  int count_imagefade_ = 0, count_input_ = 0, count_laywait_ = 0;

  friend struct Statements;
};

// The keyword statements and their handlers, in ascending byte order of
// the keyword. A new statement is one line here and its handler.
struct Statements {
  using C = Compiler;
  static constexpr C::StatementKeyword kAll[] = {
      {"beginloop", &C::beginloop_statement, Block::Count, false},
      {"break", &C::loop_jump_statement, {}, false},
      {"continue", &C::loop_jump_statement, {}, false},
      {"declare", &C::declare_statement, {}, true},
      {"delay", &C::delay_statement, {}, false},
      {"else", &C::else_statement, {}, false},
      {"endif", &C::endif_statement, {}, false},
      {"endloop", &C::endloop_statement, {}, false},
      {"endwhen", &C::endwhen_statement, {}, false},
      {"endwhile", &C::endwhile_statement, {}, false},
      {"for", &C::for_statement, Block::ForTo, false},
      {"forever", &C::forever_statement, {}, false},
      {"gosub", &C::gosub_statement, {}, true},
      {"goto", &C::goto_statement, {}, false},
      {"if", &C::if_statement, Block::If, false},
      {"imagefade", &C::imagefade_statement, {}, false},
      {"imagefadexy", &C::imagefade_statement, {}, false},
      {"inputline", &C::inputline_statement, {}, false},
      {"layer", &C::layer_statement, {}, false},
      {"mouseflush", &C::mouseflush_statement, {}, false},
      {"next", &C::next_statement, {}, false},
      {"quit", &C::quit_statement, {}, true},
      {"return", &C::return_statement, {}, false},
      {"scriptmerge", &C::scriptmerge_statement, {}, false},
      {"set", &C::set_statement, {}, true},
      {"wait", &C::wait_statement, {}, false},
      {"waitkey", &C::wait_statement, {}, false},
      {"waitmouse", &C::wait_statement, {}, false},
      {"when", &C::when_statement, {}, false},
      {"while", &C::while_statement, Block::While, false},
      {"with", &C::with_statement, {}, false},
  };
  static constexpr bool sorted() {
    for (size_t i = 1; i < std::size(kAll); i++)
      if (!(kAll[i - 1].keyword < kAll[i].keyword)) return false;
    return true;
  }
};
static_assert(Statements::sorted(), "the statement table is looked up by binary search");

const Compiler::StatementKeyword* Compiler::statement_keyword(std::string_view word) {
  const StatementKeyword* end = std::end(Statements::kAll);
  auto before = [](const StatementKeyword& s, std::string_view w) { return s.keyword < w; };
  const StatementKeyword* it = std::lower_bound(std::begin(Statements::kAll), end, word, before);
  return it != end && it->keyword == word ? it : nullptr;
}

bool is_keyword(const std::string& w) { return Compiler::statement_keyword(w) != nullptr; }

std::string extension(const std::string& name) {
  size_t slash = name.find_last_of("/\\");
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return lower(name.substr(dot));
}

}  // namespace

std::vector<std::string_view> statement_keywords() {
  std::vector<std::string_view> words;
  for (const auto& s : Statements::kAll) words.push_back(s.keyword);
  return words;
}

Compilation compile_program(const SourceFile& main, const FileLoader& loader) {
  Compilation c;
  Compiler(c, loader).run(main);
  return c;
}

bool read_source(const std::string& path, SourceFile& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return false;
  namespace fs = std::filesystem;
  fs::path p(path);
  std::error_code ec;
  fs::path canonical = fs::weakly_canonical(p, ec);
  out.display = path;
  out.name = p.filename().string();
  out.key = ec ? path : canonical.string();
  out.directory = p.parent_path().string();
  out.text = s.str();
  return true;
}

bool load_from_disk(const SourceFile& from, const std::string& name, SourceFile& out) {
  namespace fs = std::filesystem;
  std::string base = name;
  std::replace(base.begin(), base.end(), '\\', '/');
  std::vector<std::string> candidates{base};
  std::string ext = extension(base);
  if (ext.empty()) {
    candidates.push_back(base + ".qns");
    candidates.push_back(base + ".vks");
  } else if (ext == ".qnc") {
    std::string stem = base.substr(0, base.size() - 4);
    candidates.push_back(stem + ".qns");
    candidates.push_back(stem + ".vks");
  }
  fs::path dir = from.directory.empty() ? fs::path(".") : fs::path(from.directory);
  for (const std::string& c : candidates) {
    fs::path p = fs::path(c).is_absolute() ? fs::path(c) : dir / c;
    std::error_code ec;
    if (fs::is_regular_file(p, ec)) return read_source(p.string(), out);
    // Scripts written on systems that ignore case name files in any case.
    fs::path parent = p.parent_path();
    std::string want = lower(p.filename().string());
    for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec) && lower(it->path().filename().string()) == want)
        return read_source(it->path().string(), out);
    }
  }
  return false;
}

}  // namespace compiler
