// Compiles source text held in memory (merged scripts come from a map of
// file names to texts) and gives the postfix of each statement, the packed
// words in the disassembler's naming, and the messages.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/disassembler.h"
#include "compiler/listing.h"
#include "compiler/packer.h"

struct Compiled {
  compiler::Compilation c;
  compiler::Packed packed;

  // Each statement's postfix, "_line ..." as the listing writes it.
  std::vector<std::string> postfix() const {
    std::vector<std::string> out;
    for (const compiler::Statement& st : c.program.statements) out.push_back(compiler::postfix_text(st));
    return out;
  }
  // Every packed word, one disassembly line each.
  std::vector<std::string> words() const {
    std::vector<std::string> out;
    for (uint32_t w : packed.words) out.push_back(compiler::disassemble_word(w, packed.names));
    return out;
  }
  std::string messages() const {
    std::string s;
    for (const compiler::Diagnostic& d : c.diag.list()) s += compiler::format_diagnostic(d) + "\n";
    return s;
  }
};

inline Compiled compile(std::string_view text, const std::map<std::string, std::string>& others = {},
                        const std::string& name = "t.qns") {
  compiler::SourceFile main{name, name, name, "", std::string(text)};
  auto loader = [&](const compiler::SourceFile&, const std::string& want, compiler::SourceFile& out) {
    if (want == name) {
      out = main;
      return true;
    }
    auto it = others.find(want);
    if (it == others.end()) return false;
    out = compiler::SourceFile{it->first, it->first, it->first, "", it->second};
    return true;
  };
  Compiled r;
  r.c = compiler::compile_program(main, loader);
  if (r.c.ok()) r.packed = compiler::pack(r.c.program);
  return r;
}

// The postfix of a one-statement script (or "" when it did not compile to one).
inline std::string postfix_of(std::string_view line) {
  Compiled r = compile(line);
  auto p = r.postfix();
  return p.size() == 1 && r.c.ok() ? p[0] : "ERROR " + r.messages();
}
