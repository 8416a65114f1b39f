// ASCII case folding of names: only A to Z change, other bytes (UTF-8
// included) stay as they are. Header-only: the archive tool uses it without
// the engine.
#pragma once

namespace vm {

inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

}  // namespace vm
