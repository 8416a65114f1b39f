// Calls of functions of other libraries: what the family registers.
#pragma once

namespace vm {

// Registers the clean-ups of the DLL and DLLFUNC elements and the call of
// a declared function from `_call`. Idempotent; the engine start
// (host/engine.h) calls it.
void dll_register();

}  // namespace vm
