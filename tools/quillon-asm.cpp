// quillon-asm: assembles token words written as text into a compiled script
// file. Used at build time for the player's built-in start-up script until
// it is written in the script language; also handy for hand-made tests.
//
//   quillon-asm SOURCE.qasm -o OUT.qnc
//
// The syntax is that of the test assembler: literals, "texts", names,
// opcodes such as TAIL, CALL_POP, LINE_TAIL#3, AT:x, LABEL:name; `;` starts
// a comment.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "host/engine.h"
#include "scripts/program.h"
#include "vm/assemble.h"
#include "vm/interp.h"

int main(int argc, char** argv) {
  std::string in, out;
  for (int i = 1; i < argc; i++) {
    if (!std::strcmp(argv[i], "-o") && i + 1 < argc)
      out = argv[++i];
    else if (!std::strcmp(argv[i], "--help")) {
      std::printf("usage: quillon-asm SOURCE -o OUT.qnc\n");
      return 0;
    } else
      in = argv[i];
  }
  if (in.empty() || out.empty()) {
    std::fprintf(stderr, "usage: quillon-asm SOURCE -o OUT.qnc\n");
    return 2;
  }
  std::ifstream f(in, std::ios::binary);
  if (!f) {
    std::fprintf(stderr, "quillon-asm: cannot read %s\n", in.c_str());
    return 1;
  }
  std::string source((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  host::engine_init();
  vm::Assembly a = vm::assemble(source);
  if (!a.error.empty()) {
    std::fprintf(stderr, "quillon-asm: %s: %s\n", in.c_str(), a.error.c_str());
    return 1;
  }
  std::vector<uint8_t> image = scripts::image_from_loaded_words(a.words);
  std::ofstream o(out, std::ios::binary);
  o.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  if (!o) {
    std::fprintf(stderr, "quillon-asm: cannot write %s\n", out.c_str());
    return 1;
  }
  return 0;
}
