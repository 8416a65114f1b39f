// Library archive commands: vkopen, vkclose, vkreset.
#include <string>

#include "storage/archive.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"

namespace vm {

// vkopen name...: opens each named archive in the order given; yields how
// many opened.
void h_vkopen(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t opened = 0;
  for (uint32_t i = 0; i < n; i++) {
    Value v = ctx.top[i];
    std::string name;
    if (element_type_of(v) == kTypeString) {
      name = element_text(v);
    } else {
      Value t = value_to_text(&ctx, v);
      name = element_text(t);
      value_release(t);
    }
    if (storage::archive_open(&ctx, name)) opened++;
  }
  pop_n(ctx, n);
  push_int(ctx, opened);
}

// vkclose: closes every open archive; arguments are discarded.
void h_vkclose(Interp& ctx) {
  pop_n(ctx, close_frame(ctx));
  storage::archive_close_all();
}

// vkreset: closes every open archive, then opens the program's own one.
void h_vkreset(Interp& ctx) {
  pop_n(ctx, close_frame(ctx));
  storage::archive_close_all();
  storage::archive_open(&ctx, "resource:");
}

}  // namespace vm
