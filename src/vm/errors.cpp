#include <cstdio>
#include <string>

#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
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
void raise_error(Interp& ctx, int32_t code, const char* extra_text) {
  if (ctx.stop != 0) return;
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
    if (extra_text) msg += extra_text;
    if (msg.size() > 2047) msg.resize(2047);
    msg += " at line " + std::to_string(ctx.current_line) + " in ";
    msg += element_text(ctx.current_file);
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
