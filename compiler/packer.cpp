#include "compiler/packer.h"

#include <unordered_map>

#include "compiler/numbers.h"
#include "vm/opcodes.h"

namespace compiler {
namespace {

// The commands with an opcode of their own (18 to 45).
uint32_t fused_opcode(const std::string& callee) {
  static const std::unordered_map<std::string, uint32_t> table = [] {
    std::unordered_map<std::string, uint32_t> t;
    for (const vm::Operator& o : vm::kOperators) t.emplace(o.command, o.opcode);
    return t;
  }();
  auto it = table.find(callee);
  return it == table.end() ? 0 : it->second;
}

constexpr uint32_t kNumberOperand = 0x800000u;
constexpr uint32_t kMaxNames = 0x7fffffu;

uint32_t control_opcode(Control c) {
  switch (c) {
#define X(id, word, opcode) \
  case Control::id:         \
    return vm::OP_##opcode;
    QUILLON_CONTROLS(X)
#undef X
  }
  return vm::OP_RETURN;
}

class Packer {
 public:
  Packed run(const Program& p) {
    for (const Statement& st : p.statements) statement(p.files[size_t(st.file)], st);
    out_.words.push_back(vm::kEndWord);
    return std::move(out_);
  }

 private:
  uint32_t name(const std::string& text) {
    auto [it, fresh] = numbers_.emplace(text, uint32_t(out_.names.size() + 1));
    if (fresh) {
      if (text.size() > 0xffff && out_.error.empty())
        out_.error = "a text of " + std::to_string(text.size()) + " characters is longer than 65535";
      if (it->second > kMaxNames && out_.error.empty()) out_.error = "the script has more than 8388607 names";
      out_.names.push_back(text);
    }
    return it->second & kMaxNames;
  }

  void word(uint32_t w, bool foldable = false) {
    out_.words.push_back(w);
    foldable_ = foldable;
  }

  // The operand that the value word just emitted gives up to the next
  // word (it is then not a word of its own), or 0.
  uint32_t fold() {
    if (!foldable_) return 0;
    foldable_ = false;
    uint32_t w = out_.words.back();
    out_.words.pop_back();
    if ((w >> 30) == 1) return w & 0xffffffu;          // a name word: its number
    return kNumberOperand | (w & 0x7fffffu);           // a literal that fits 23 bits
  }

  void statement(const std::string& file, const Statement& st) {
    const std::vector<Elem>& e = st.postfix;
    word(vm::word_op(0, name(file)));
    size_t i = 0;
    bool opens = !e.empty() && (e[0].kind == Elem::Open || e[0].kind == Elem::OpenBrace);
    uint32_t line = kNumberOperand | (uint32_t(st.line) & 0x7fffffu);
    if (st.line > 0x7fffff && out_.error.empty()) out_.error = "a script has more than 8388607 lines";
    word(vm::word_op(opens ? vm::OP_LINE_TAIL : vm::OP_LINE, line));
    if (opens) i = 1;
    while (i < e.size()) {
      const Elem& el = e[i];
      switch (el.kind) {
        case Elem::Open:
        case Elem::OpenBrace: {
          size_t run = 0;
          while (i + run < e.size() && (e[i + run].kind == Elem::Open || e[i + run].kind == Elem::OpenBrace)) run++;
          for (size_t k = 0; k + 1 < run; k += 2) word(vm::word_op(vm::OP_TAIL_TAIL, fold()));
          if (run % 2) word(vm::word_op(vm::OP_TAIL, fold()));
          i += run;
          continue;
        }
        case Elem::Int:
          word(uint32_t(int32_t(el.value)), fits_operand(el.value));
          break;
        case Elem::Float:
          word(el.word);
          break;
        case Elem::Text:
          word(vm::word_op(0, name(el.text)), true);
          break;
        case Elem::Close: {
          if (el.frameless) {
            // No frame: null is its own opcode; the others push their name
            // before a _CALL without operand, which tells them from the
            // framed (x ele_adr) calls of older compiled files.
            if (el.text == "null") {
              word(vm::word_op(vm::OP_NULL_CALL, fold()));
            } else {
              word(vm::word_op(0, name(el.text)));
              word(vm::word_op(vm::OP_CALL, 0));
            }
            break;
          }
          // The callee is the operand of _CALL; a fused command has none
          // and may carry the value before it instead.
          auto callee = [&] { return el.text.empty() ? 0 : name(el.text); };
          if (i + 1 < e.size() && e[i + 1].kind == Elem::CloseBrace) {
            word(vm::word_op(vm::OP_CALL_POP, callee()));
            i += 2;
            continue;
          }
          if (uint32_t op = fused_opcode(el.text)) {
            word(vm::word_op(op, fold()));
          } else {
            word(vm::word_op(vm::OP_CALL, callee()));
          }
          break;
        }
        case Elem::CloseBrace:
          word(vm::word_op(vm::OP_POP, fold()));
          break;
        case Elem::Ctl:
          word(vm::word_op(control_opcode(el.control), el.text.empty() ? 0 : name(el.text)));
          break;
      }
      i++;
    }
    foldable_ = false;
  }

  Packed out_;
  std::unordered_map<std::string, uint32_t> numbers_;
  bool foldable_ = false;
};

}  // namespace

Packed pack(const Program& program) { return Packer().run(program); }

}  // namespace compiler
