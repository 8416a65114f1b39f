#include "vm/assemble.h"

#include <cstdlib>
#include <cstring>

#include "vm/element.h"
#include "vm/opcodes.h"

namespace vm {
namespace {

bool opcode_by_id(std::string_view id, uint32_t& op) {
#define X(num, ident, ...)   \
  if (id == #ident) {        \
    op = num;                \
    return true;             \
  }
  QUILLON_OPCODES(X, X, QUILLON_SKIP)
#undef X
  return false;
}

uint32_t name_index(std::string_view name) { return name_intern(name.data(), int64_t(name.size())) - kHandleBase; }

}  // namespace


Assembly assemble(std::string_view src) {
  Assembly out;
  size_t i = 0;
  auto fail = [&](std::string msg) {
    if (out.error.empty()) out.error = std::move(msg);
  };
  while (i < src.size()) {
    char c = src[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      i++;
      continue;
    }
    if (c == ';') {  // comment to the end of the line
      while (i < src.size() && src[i] != '\n') i++;
      continue;
    }
    if (c == '"' || c == '\'') {
      size_t end = src.find(c, i + 1);
      if (end == std::string_view::npos) {
        fail("unterminated text");
        break;
      }
      std::string_view text = src.substr(i + 1, end - i - 1);
      uint32_t h = name_intern(text.data(), int64_t(text.size()));
      out.words.push_back(word_op(0, h - kHandleBase));
      i = end + 1;
      continue;
    }
    size_t end = i;
    while (end < src.size() && src[end] != ' ' && src[end] != '\t' && src[end] != '\n' && src[end] != '\r') end++;
    std::string tok(src.substr(i, end - i));
    i = end;
    if (tok.rfind("WORD=", 0) == 0) {
      out.words.push_back(uint32_t(std::strtoul(tok.c_str() + 5, nullptr, 0)));
      continue;
    }
    if ((tok[0] >= '0' && tok[0] <= '9') || (tok[0] == '-' && tok.size() > 1)) {
      char* stop = nullptr;
      if (tok.find('.') != std::string::npos) {
        double d = std::strtod(tok.c_str(), &stop);
        uint32_t w = 0;
        if (!pack_float_literal(d, w)) fail("float literal not exact: " + tok);
        out.words.push_back(w);
      } else {
        long long v = std::strtoll(tok.c_str(), &stop, 0);
        if (v < -1073741824LL || v > 1073741823LL) fail("integer literal out of range: " + tok);
        out.words.push_back(uint32_t(int32_t(v)));
      }
      continue;
    }
    size_t sep = tok.find_first_of(":#");
    std::string id = tok.substr(0, sep);
    uint32_t op;
    bool upper = !id.empty() && id[0] >= 'A' && id[0] <= 'Z';
    if (upper && opcode_by_id(id, op)) {
      if (sep == std::string::npos) {
        out.words.push_back(op == 0 ? kEndWord : word_op(op));
      } else if (tok[sep] == ':') {
        out.words.push_back(word_op(op, name_index(std::string_view(tok).substr(sep + 1))));
      } else {
        out.words.push_back(word_op_imm(op, int32_t(std::strtol(tok.c_str() + sep + 1, nullptr, 0))));
      }
      continue;
    }
    if (upper && id == "END") {
      out.words.push_back(kEndWord);
      continue;
    }
    if (upper) fail("unknown opcode: " + tok);
    out.words.push_back(word_op(0, name_index(tok)));
  }
  out.words.push_back(kEndWord);
  return out;
}

}  // namespace vm
