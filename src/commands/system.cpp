// System and desktop services.
#include <cstdio>
#include <string>

#include "storage/files.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"

namespace vm {

// consolewrite: writes the text forms of its arguments in script order,
// joined with no separator, then a newline, to standard output. No result.
void h_consolewrite(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string line;
  for (uint32_t i = 0; i < n; i++) {
    Value v = ctx.top[i];
    if (element_type_of(v) == kTypeString) {
      line += element_text(v);  // whole, however long
    } else if (!v.is_null()) {
      Value t = value_to_text(&ctx, v);
      line += element_text(t);
      value_release(t);
    }
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  pop_n(ctx, n);
}

// wingloballock buffer: the address of the buffer's first byte (a number
// stays as it is), as ele_adr. Memory buffers stand for the system's global
// memory blocks: winglobalfree frees one as memfree does and
// winglobalunlock has nothing to do.
void h_wingloballock(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  storage::finish_int(ctx, n, n ? storage::address_arg(ctx, n, 0) : 0);
}

}  // namespace vm
