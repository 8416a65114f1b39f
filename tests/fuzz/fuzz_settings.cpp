// Fuzz target: the settings store's file reader. Whatever it reads must
// write back to a text that reads as the same store, and writing that again
// must give the same text.
#include <cstdint>
#include <string_view>

#include "commands/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  settings::Store store = settings::parse(text);
  std::string once = settings::serialize(store);
  settings::Store again = settings::parse(once);
  if (!(again.keys == store.keys) || settings::serialize(again) != once) __builtin_trap();
  return 0;
}
