// Loading compiled script files into a context, linking their labels, and
// unloading them. The file format itself is in scripts/image_format.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "scripts/image_format.h"

namespace vm {
struct Interp;
}

namespace scripts {

// Loads the named compiled script into `target`, replacing its program.
// `opener` resolves the name (and reports a missing file when `report`).
// Returns false with the old program untouched when the file is missing,
// is no compiled script, or is malformed; `problem`, when given, then says
// which, naming the file.
bool load_program(vm::Interp& target, vm::Interp& opener, std::string_view name, bool report,
                  std::string* problem = nullptr);
// Loads from bytes already in memory (the same checks).
bool load_program_image(vm::Interp& target, const uint8_t* image, size_t size);
void unload_program(vm::Interp& ctx, bool full);

// Builds a file image from words whose operands are element indices of the
// running table (assembler output): the names are collected in order of
// first use and the operands renumbered.
std::vector<uint8_t> image_from_loaded_words(const std::vector<uint32_t>& words);

void scripts_init();  // the PROGRAM clean-up and the context closer

}  // namespace scripts
