#include <cstdio>
#include <string>

#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/opcodes.h"
#include "vm/sysvars.h"

namespace vm {

const char* error_name(int32_t code) {
  static const char* const names[] = {
      "STACKUNDERFLOW", "UNKNOWNCOMMAND", "BADCOMMANDTOKEN", "INVALIDLABEL",    "LABELNOTFOUND",
      "UNDEFINEDVARIABLE", "RETURNWITHOUTGOSUB", "STACKCORRUPT", "STACKOVERFLOW", "THREADBUSYCORRUPT",
      "DUPLICATELABEL",  "SYNTAXERROR",    "MISSINGFILE"};
  return code <= -1 && code >= -13 ? names[-code - 1] : nullptr;
}

// Reports an error or, with code 1, the normal end. The first code wins:
// later calls in the same run change nothing. The message goes to standard
// error (one line) and to the host's message box when errors are shown.
// Line words carry their line as a number operand and follow the word that
// pushes the file name. Opcode words cannot be mistaken for literals, so
// looking back from `at` finds the statement's line word exactly.
SourcePosition interp_line_at(const Interp& ctx, uint32_t at) {
  constexpr uint32_t kMaxLookBack = 4096;  // far longer than any compiled statement
  SourcePosition pos;
  if (!ctx.code || ctx.code_length == 0) return pos;
  if (at >= ctx.code_length) at = ctx.code_length - 1;
  uint32_t first = at > kMaxLookBack ? at - kMaxLookBack : 0;
  for (uint32_t i = at + 1; i-- > first;) {
    uint32_t w = ctx.code[i];
    uint32_t op = (w >> 24) & 0x3f;
    if ((w >> 30) != 1 || (op != OP_LINE && op != OP_LINE_TAIL && op != OP_LINE_TAIL_TAIL)) continue;
    if (!(w & 0x800000)) return pos;  // a computed line: not known here
    pos.line = w & 0x7fffff;
    uint32_t previous = i > 0 ? ctx.code[i - 1] : 0;
    Value file = Value::from_handle(kHandleBase + (previous & 0xffffff));
    if ((previous >> 24) == 0x40 && previous != kEndWord && element_type_of(file) == kTypeString) pos.file = file;
    return pos;
  }
  return pos;
}

void raise_about(Interp& ctx, int32_t code, Value subject) {
  if (ctx.stop != 0) return;
  std::string text = value_display(&ctx, subject);
  if (text.size() > 200) text.resize(200);
  raise_error(ctx, code, (" \"" + text + "\"").c_str());
}

void raise_error(Interp& ctx, int32_t code, const char* extra_text) {
  if (ctx.stop != 0) return;
  std::string extra = extra_text ? extra_text : "", trace;
  if (code != 0 && code != kStopNormal && g_host.error_report) g_host.error_report(ctx, code, extra, trace);
  ctx.stop = code;
  interp_request_tick(ctx);  // the main loop returns before the next token
  if (code != 0 && code != kStopNormal) {
    if (!ctx.current_file.is_null() && element_type_of(ctx.current_file) != kTypeString) {
      Value text = value_to_text(&ctx, ctx.current_file);
      Value old = ctx.current_file;
      ctx.current_file = text;
      value_release(old);
    }
    std::string msg = "Error: ";
    if (const char* name = error_name(code))
      msg += name;
    else
      msg += std::to_string(code);
    msg += extra;
    if (msg.size() > 2047) msg.resize(2047);
    msg += " at line " + std::to_string(ctx.current_line) + " in ";
    msg += element_text(ctx.current_file);
    // What led there follows on lines of its own.
    if (!trace.empty()) msg += "\n" + trace;
    while (!msg.empty() && msg.back() == '\n') msg.pop_back();
    if ((sysvar_int(ctx, SV_var_errormessage) & 0xffffffff) != 0) {
      std::fprintf(stderr, "%s\n", msg.c_str());
      std::fflush(stderr);
      if (g_host.message_box) g_host.message_box(ctx, "Quillon Error", msg.c_str());
    }
  }
  if (g_host.notify_editor) {
    std::string file(element_text(ctx.current_file).substr(0, 1023));
    g_host.notify_editor(ctx, error_notify_data(ctx.current_line, code), file.c_str());
  }
}

}  // namespace vm
