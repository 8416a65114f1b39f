#include "scripts/code_view.h"

#include <cstdio>
#include <cstring>

#include "scripts/listing.h"
#include "vm/control.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/opcodes.h"
#include "vm/triggers.h"
#include "vm/variables.h"

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

std::string cut_line(std::string line) {
  if (line.size() > 255) line.resize(255);
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  return line;
}

// The items of a table, `indent` before each: "KEY = VALUE".
void table_lines(vm::Interp& ctx, vm::Value table, const char* indent, std::string& out, bool skip_with) {
  vm::ArrayRecord* a = vm::array_of(table);
  for (uint32_t i = 0; a && i < a->count; i++) {
    vm::Value key = a->items[i].key;
    if (skip_with && key == vm::Value::from_handle(vm::g_own_names.with)) continue;
    out += cut_line(indent + vm::value_display(&ctx, key) + " = " + vm::value_display(&ctx, a->items[i].value)) + "\n";
    a = vm::array_of(table);  // a display form never changes the table, but stay safe
  }
}

int64_t local_int_of(vm::Value scope, uint32_t name) {
  vm::Value* cell = vm::table_find(scope, vm::Value::from_handle(name));
  return cell && cell->is_int() ? cell->as_int() : -1;
}

}  // namespace

std::string source_line_at(vm::Interp& ctx, uint32_t at) {
  vm::SourcePosition pos = vm::interp_line_at(ctx, at);
  if (pos.file.is_null()) return "?";
  std::string file(vm::element_text(pos.file));
  std::string out = file + ":" + std::to_string(pos.line);
  std::string source = listing_source(file, pos.line, ctx.code);
  if (!source.empty()) out += ": " + source;
  return out;
}

std::string call_chain(vm::Interp& ctx, uint32_t at) {
  std::string out = cut_line("  at " + source_line_at(ctx, at)) + "\n";
  // A runaway recursion has thousands of levels called from the same
  // statement: after two equal lines in a row the next equal ones are
  // counted, and the count stands in for them.
  std::string previous;
  uint32_t same = 0, left_out = 0;
  auto show_left_out = [&]() {
    if (left_out > 0) out += "  (" + std::to_string(left_out) + " more levels the same as the line above)\n";
    left_out = 0;
  };
  auto add = [&](std::string line) {
    if (line == previous && same >= 2) {
      left_out++;
      return;
    }
    show_left_out();
    same = line == previous ? same + 1 : 1;
    out += line + "\n";
    previous = std::move(line);
  };
  for (uint32_t d = ctx.scope_depth; d >= 2; d--) {
    vm::Value* scope = vm::scope_table(ctx, d, false);
    if (!scope) continue;
    int64_t retpc = local_int_of(*scope, vm::g_own_names.retpc);
    if (retpc < 0) continue;
    uint32_t back = uint32_t(retpc & 0xffffffff);
    back = back > 0 ? back - 1 : 0;
    std::string line;
    int64_t trigger = local_int_of(*scope, vm::g_own_names.trigger);
    if (trigger >= 0) {
      line = "  called by the trigger";
      vm::When* w = vm::when_of(uint32_t(trigger));
      if (w && !w->file.is_null())
        line += " made at " + std::string(vm::element_text(w->file)) + ":" + std::to_string(w->line);
      line += ", interrupting " + source_line_at(ctx, back);
    } else {
      line = "  called from " + source_line_at(ctx, back);
    }
    add(cut_line(line));
  }
  show_left_out();
  return out;
}

std::string element_view(vm::Interp& ctx) {
  std::string out;
  for (uint32_t i = 1; i <= vm::g_elements.length; i++) {
    uint32_t handle = vm::kHandleBase + i;
    vm::ElementEntry* e = vm::element_entry(handle);
    if (!e || e->type == vm::kTypeString) continue;
    char head[16];
    std::snprintf(head, sizeof head, "%5u  ", i);
    out += cut_line(head + vm::element_description(&ctx, handle)) + "\n";
  }
  return out;
}

std::string variables_view(vm::Interp& ctx) {
  std::string out = "common:\n";
  for (uint32_t i = 1; i <= vm::g_elements.length; i++) {
    vm::ElementEntry* e = vm::element_entry(vm::kHandleBase + i);
    if (!e || e->type != vm::kTypeString || !(e->flags & vm::kFlagGlobalValue)) continue;
    vm::Value name = vm::Value::from_handle(vm::kHandleBase + i);
    out += cut_line("  " + std::string(vm::element_text(name)) + " = " + vm::value_display(&ctx, e->global)) + "\n";
  }
  for (uint32_t d = 0; d <= ctx.scope_depth; d++) {
    out += d == 0 ? "global:\n" : d == 1 ? "script:\n" : "level " + std::to_string(d) + ":\n";
    vm::Value* scope = vm::scope_table(ctx, d, false);
    if (!scope) continue;
    vm::Value scope_value = *scope;
    table_lines(ctx, scope_value, "  ", out, true);
    vm::Value* with = vm::table_find(scope_value, vm::Value::from_handle(vm::g_own_names.with));
    vm::ArrayRecord* stack = with ? vm::array_of(*with) : nullptr;
    for (uint32_t k = stack ? stack->count : 0; k-- > 0;) {
      out += "  with " + std::to_string(k + 1) + ":\n";
      table_lines(ctx, stack->items[k].value, "    ", out, false);
    }
  }
  return out;
}

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
