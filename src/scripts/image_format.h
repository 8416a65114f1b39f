// The compiled script file format, shared by the compiler and the player.
//
// Layout (little-endian): "QNSCRIPT", total length, code word count N (end
// word included), name count M, N code words, M 16-bit name lengths, the M
// names back to back. Operands of operation words are name numbers (1..M)
// in the file and element indices once loaded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"

namespace scripts {

inline constexpr char kMagic[8] = {'Q', 'N', 'S', 'C', 'R', 'I', 'P', 'T'};
inline constexpr uint32_t kHeaderSize = 20;

struct ImageHeader {
  uint32_t total, words, names;
};

// The counts of a header of kHeaderSize bytes.
inline ImageHeader image_header(const uint8_t* image) {
  base::ByteReader in(image, kHeaderSize);
  in.skip(sizeof kMagic);
  ImageHeader h;
  h.total = in.u32();
  h.words = in.u32();
  h.names = in.u32();
  return h;
}

// An operation word whose operand names a name (in a file) or an element
// (once loaded): not a literal, not PUSH2BYTES/PUSH3BYTES, no immediate,
// operand not 0.
constexpr bool has_name_operand(uint32_t w) {
  return (w >> 30) == 1 && ((w >> 24) & 0x3f) != 62 && ((w >> 24) & 0x3f) != 63 && !(w & 0x800000) &&
         (w & 0xffffff) != 0;
}

// The file-name part's extension .qns or .vks (any case) becomes .qnc.
std::string map_script_name(std::string_view name);

// Checks a whole file image: header counts agree with each other and the
// image size, every name operand is at most M, the name table ends exactly
// at the end, and the last word is the end word; a failure says what is
// wrong.
base::Status validate_image(const uint8_t* image, size_t size);

// Builds a file image from code words whose operands are name numbers.
std::vector<uint8_t> build_image(const std::vector<uint32_t>& words, const std::vector<std::string>& names);

}  // namespace scripts
