// Fuzz target: the HTML reader, drawn into an image and measured (see
// markup_fuzz.h for the input layout).
#include "markup_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_markup::run(data, size, false);
  return 0;
}
