// Postfix to token words: line words, frames, calls with their fused
// forms, operand folding, and the name table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compiler/postfix.h"

namespace compiler {

struct Packed {
  std::vector<uint32_t> words;     // operands are name numbers 1..M
  std::vector<std::string> names;  // name number i is names[i - 1]
  std::string error;               // empty when everything fitted the file format
};

// Packs every statement, then the end word.
Packed pack(const Program& program);

}  // namespace compiler
