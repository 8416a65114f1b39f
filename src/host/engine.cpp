#include "host/engine.h"

#include "commands/dll.h"
#include "commands/net.h"
#include "commands/time.h"
#include "graphics/draw.h"
#include "graphics/layers.h"
#include "graphics/transitions.h"
#include "host/hotspots.h"
#include "host/input_fields.h"
#include "sound/sound.h"
#include "text/layout.h"
#include "vm/interp.h"

namespace host {

const vm::CommandInfo kCommands[vm::kCommandCount + 1] = {
    {"", nullptr, false},
#define QCMD(name, handler, yields) {#name, vm::handler, yields != 0},
#include "vm/commands.def"
#undef QCMD
};

void engine_init() {
  vm::vm_init(kCommands);
  // Each family adds what it owns; a new family adds its line here.
  vm::time_register();
  gfx::gfx_init();
  gfx::layers_init();
  gfx::transitions_register();
  text::text_register();
  text::layer_text_register();
  hotspots_register();
  markup_links_register();
  input_fields_register();
  vm::dll_register();
  sound::sound_register();
  vm::net_register();
}

}  // namespace host
