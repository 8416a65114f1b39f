// Element field queries (`ele_...`): each reads one field of the element
// that a variable holds. Subsystems register the fields of their types.
#pragma once

#include <cstdint>

#include "vm/value.h"

namespace vm {

struct Interp;

enum class EleField : uint8_t {
  Adr, Bits, Delay, Dim1, Dim2, Dim3, Dim4, DensityX, DensityY, HBitmap, Hdc,
  LayerBusy, Len, OffX, OffY, Size, SizeX, SizeY, SoundBusy, Count
};

// Reads a field of an element of a fitting type; false when the type does
// not fit (the query then gives 0).
using EleReader = bool (*)(Interp& ctx, EleField field, Value element, int64_t& out);
// Registers a reader for the elements of `type` (one per type).
void ele_register(uint32_t type, EleReader reader);

}  // namespace vm
