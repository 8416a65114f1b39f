#include "scripts/code_view.h"

#include <cstdio>
#include <cstring>

#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/opcodes.h"

namespace scripts {
namespace {

std::string display(vm::Interp& ctx, vm::Value v) {
  std::string s = vm::value_display(&ctx, v);
  return s.empty() ? "\"\"" : s;
}

// The value of a float literal word: bit 29 sign, 6-bit exponent + 96, fraction.
double float_literal(uint32_t w) {
  uint32_t bits = (((w >> 29) & 1) << 31) | ((((w >> 23) & 0x3f) + 96) << 23) | (w & 0x7fffff);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return double(f);
}

}  // namespace

std::string code_view_counters(vm::Interp& ctx) {
  char line[64];
  std::snprintf(line, sizeof line, "%3d %3d %3d %3d", int(vm::stack_depth(ctx)), int(ctx.current_line), int(ctx.pc),
                int(vm::g_elements.length));
  return line;
}

std::string code_view_stack(vm::Interp& ctx, int max_cells) {
  int depth = int(vm::stack_depth(ctx));
  int shown = max_cells < depth ? max_cells : depth;
  std::string out;
  for (int i = shown - 1; i >= 0; i--) {
    vm::Value v = ctx.top[i];
    char head[40];
    std::snprintf(head, sizeof head, "%2d  %08X%08X : ", i, v.hi(), v.lo());
    std::string line = head + vm::value_display(&ctx, v);
    if (line.size() > 255) line.resize(255);
    out += line + "\n";
  }
  return out;
}

std::string code_view_word(vm::Interp& ctx, uint32_t w) {
  char head[24];
  std::snprintf(head, sizeof head, "%08X      ", w);
  std::string line = head;
  uint32_t kind = w >> 30;
  if (kind == 0 || kind == 3) return line + std::to_string(int32_t(w)) + " ";
  if (kind == 2) return line + display(ctx, vm::Value::from_double(float_literal(w))) + " ";
  uint32_t op = (w >> 24) & 0x3f, operand = w & 0xffffff;
  if (op == vm::OP_PUSH2BYTES || op == vm::OP_PUSH3BYTES) {
    if (op == vm::OP_PUSH3BYTES) line += std::to_string((operand >> 16) & 0xff) + " ";
    line += std::to_string((operand >> 8) & 0xff) + " " + std::to_string(operand & 0xff) + " ";
  } else if (operand & 0x800000) {
    line += std::to_string(int32_t(operand << 9) >> 9) + " ";  // 23-bit two's complement
  } else if (operand != 0) {
    line += display(ctx, vm::Value::from_handle(vm::kHandleBase + operand)) + " ";
  }
  const char* name = vm::opcode_name(op);
  if (*name) line += std::string(name) + " ";
  return line;
}

std::string code_view_code(vm::Interp& ctx, uint32_t pc, int max_words) {
  std::string out;
  uint32_t from = pc >= 2 ? pc - 2 : 0;
  for (uint32_t i = from; i < ctx.code_length && int(i - from) < max_words; i++) {
    uint32_t w = ctx.code[i];
    if (i == pc) out += std::string(kCodeViewFrame) + "\n";
    out += code_view_word(ctx, w) + "\n";
    if (i == pc) out += std::string(kCodeViewFrame) + "\n";
    if (w == vm::kEndWord) break;
  }
  return out;
}

}  // namespace scripts
