#include "compiler/postfix.h"

#include <cstdio>

#include "vm/command_names.h"

namespace compiler {

void append_node(std::vector<Elem>& out, const Node& n) {
  Elem e;
  switch (n.kind) {
    case Node::Int:
      e.kind = Elem::Int;
      e.value = n.value;
      out.push_back(std::move(e));
      return;
    case Node::Float:
      e.kind = Elem::Float;
      e.word = n.word;
      e.text = n.text;
      out.push_back(std::move(e));
      return;
    case Node::Text:
      e.kind = Elem::Text;
      e.text = n.text;
      e.raw = n.raw;
      e.quoted = n.quoted;
      out.push_back(std::move(e));
      return;
    case Node::Call: {
      uint32_t k = vm::command_name_find(n.text);
      e.frameless = k != 0 && vm::kCommandNames[k].frameless;
      if (!e.frameless) out.push_back(Elem(Elem::Open));
      for (const Node& p : n.pushes) append_node(out, p);
      e.kind = Elem::Close;
      e.text = n.text;
      out.push_back(std::move(e));
      return;
    }
  }
}

std::string postfix_text(const std::vector<Elem>& elems) {
  static const char* const kControlWords[] = {
#define X(id, word, opcode) word,
      QUILLON_CONTROLS(X)
#undef X
  };
  std::string s;
  bool after_open = true;  // no blank after an opening bracket
  auto word = [&](const std::string& w) {
    if (!after_open) s += ' ';
    s += w;
    after_open = false;
  };
  for (const Elem& e : elems) {
    switch (e.kind) {
      case Elem::Open:
      case Elem::OpenBrace:
        if (!after_open) s += ' ';
        s += e.kind == Elem::Open ? '(' : '{';
        after_open = true;
        break;
      case Elem::Close:
        if (!e.text.empty()) word(e.text);
        if (!e.frameless) s += ')';
        after_open = false;
        break;
      case Elem::CloseBrace:
        s += '}';
        after_open = false;
        break;
      case Elem::Int:
        word(std::to_string(e.value));
        break;
      case Elem::Float:
        word(e.text);
        break;
      case Elem::Text:
        word(e.quoted ? "\"" + e.raw + "\"" : e.text);
        break;
      case Elem::Ctl:
        if (!e.text.empty()) word(e.text);
        word(kControlWords[int(e.control)]);
        break;
    }
  }
  return s;
}

std::string postfix_text(const Statement& st) {
  std::string body = postfix_text(st.postfix);
  return body.empty() ? "_line" : "_line " + body;
}

}  // namespace compiler
