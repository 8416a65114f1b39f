// Compiled files back to readable words, in the code view's naming.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace compiler {

// One line for a token word: "%08X", six blanks, then (unless it is an
// operation without an operand) the literal's value or the operand (a
// name's text, "" for the empty text, a number operand as its signed
// value) and a blank, then the opcode's name, if it has one. Control
// characters in names are written as \r, \n, \t so that each word keeps
// one line; trailing blanks are dropped.
std::string disassemble_word(uint32_t word, const std::vector<std::string>& names);

// Every word of a compiled file image, one per line; an error text (and
// nothing else) when the image is malformed.
bool disassemble_image(const std::vector<uint8_t>& image, std::string& out);

}  // namespace compiler
