#include "compiler/disassembler.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/bytes.h"
#include "scripts/image_format.h"
#include "vm/opcodes.h"

namespace compiler {
namespace {


std::string escaped(const std::string& s) {
  if (s.empty()) return "\"\"";
  std::string out;
  for (char c : s) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else
      out += c;
  }
  return out;
}

// The value of a float literal word (bit 29 sign, 6-bit exponent + 96, fraction).
double float_literal(uint32_t w) {
  uint32_t sign = (w >> 29) & 1, e = ((w >> 23) & 0x3f) + 96, frac = w & 0x7fffff;
  uint32_t bits = (sign << 31) | (e << 23) | frac;
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return double(f);
}

}  // namespace

std::string disassemble_word(uint32_t w, const std::vector<std::string>& names) {
  char head[32];
  std::snprintf(head, sizeof head, "%08X      ", w);
  std::string line = head;
  uint32_t kind = w >> 30;
  if (kind == 0 || kind == 3) {
    line += std::to_string(int32_t(w));
  } else if (kind == 2) {
    char num[64];
    std::snprintf(num, sizeof num, "%.9g", float_literal(w));
    line += num;
  } else {
    uint32_t op = (w >> 24) & 0x3f, operand = w & 0xffffff;
    if (op == vm::OP_PUSH2BYTES || op == vm::OP_PUSH3BYTES) {
      if (op == vm::OP_PUSH3BYTES) line += std::to_string((operand >> 16) & 0xff) + " ";
      line += std::to_string((operand >> 8) & 0xff) + " " + std::to_string(operand & 0xff) + " ";
    } else if (operand & 0x800000) {
      int32_t v = int32_t(operand << 9) >> 9;  // 23-bit two's complement
      line += std::to_string(v) + " ";
    } else if (operand != 0) {
      line += operand <= names.size() ? escaped(names[operand - 1]) : "?" + std::to_string(operand);
      line += " ";
    }
    line += vm::opcode_name(op);
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

bool disassemble_image(const std::vector<uint8_t>& image, std::string& out) {
  base::Status sound = scripts::validate_image(image.data(), image.size());
  if (!sound) {
    out = sound.error();
    return false;
  }
  scripts::ImageHeader h = scripts::image_header(image.data());
  const uint8_t* code = image.data() + scripts::kHeaderSize;
  const uint8_t* lengths = code + 4ull * h.words;
  const uint8_t* text = lengths + 2ull * h.names;
  std::vector<std::string> names;
  for (uint32_t i = 0; i < h.names; i++) {
    uint16_t n = base::load_le16(lengths + 2ull * i);
    names.emplace_back(reinterpret_cast<const char*>(text), n);
    text += n;
  }
  out.clear();
  for (uint32_t i = 0; i < h.words; i++) out += disassemble_word(base::load_le32(code + 4ull * i), names) + "\n";
  return true;
}

}  // namespace compiler
