// A small assembler from readable words to token words, for tests,
// benchmarks and the player's built-in programs.
//
//   123  -5          integer literals
//   1.5              a packed float literal (must be exactly representable)
//   "text" or 'text' a text element (interned), pushed by handle
//   name             a name element (interned, held), pushed by handle
//   OP               an opcode word without operand (TAIL, CALL_POP, LINE_TAIL ...)
//   OP:name          an opcode word whose operand is the name's element
//   OP#-3            an opcode word with an immediate integer
//   WORD=0x4C800003  a raw token word
// The program ends with the end word, appended automatically.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vm/opcodes.h"

namespace vm {

struct Assembly {
  std::vector<uint32_t> words;
  std::string error;  // empty when every word was understood
};

Assembly assemble(std::string_view source);


}  // namespace vm
