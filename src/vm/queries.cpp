#include "vm/queries.h"

#include "vm/commands.h"
#include "vm/control.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace vm {
namespace {

EleReader g_readers[kElementTypeCount];

bool array_reader(Interp&, EleField field, Value element, int64_t& out) {
  ArrayRecord* a = array_of(element);
  if (!a) return false;
  switch (field) {
    case EleField::Dim1: case EleField::Dim2: case EleField::Dim3: case EleField::Dim4:
    case EleField::Size:
      out = a->count;
      return true;
    default:
      return false;
  }
}

int64_t read_field(Interp& ctx, EleField field, Value element) {
  uint32_t type = element_type_of(element);
  int64_t out = 0;
  EleReader r = type == kTypeArray ? array_reader : g_readers[type];
  if (r && r(ctx, field, element, out)) return out;
  return 0;
}

// The element a name argument stands for: the variable's value, or for the
// list forms also the element itself.
Value element_of(Interp& ctx, Value name, bool accept_element) {
  if (accept_element && element_type_of(name) != kTypeString && element_type_of(name) != kTypeArrayPath)
    return name;
  Value* cell = var_find(ctx, name);
  return cell ? *cell : Value::null();
}

// The forms that take no frame replace the top value by the result. A
// frame of their own around the name (older compiled files) is closed; an
// empty one, or a marker on top where the name should be, gives 0.
void query_top(Interp& ctx, EleField field) {
  if (close_own_frame(ctx, 0)) {
    push_int(ctx, 0);
    return;
  }
  close_own_frame(ctx, 1);
  if (ctx.top >= ctx.stack_base) {
    raise(ctx, kErrStackUnderflow);
    return;
  }
  if (ctx.top->is_marker()) {
    push_int(ctx, 0);
    return;
  }
  int64_t r = read_field(ctx, field, element_of(ctx, ctx.top[0], false));
  set_arg_owned(ctx, 0, Value::from_int(r));
}

// The forms that take exactly one argument; another count gives 0.
void query_one(Interp& ctx, EleField field) {
  uint32_t n = close_frame(ctx);
  if (n != 1) {
    discard_args_push_zero(ctx, n);
    return;
  }
  int64_t r;
  if (field == EleField::Size) {
    Value* cell = var_find(ctx, ctx.top[0]);
    r = !cell ? 0 : (array_of(*cell) ? int64_t(array_of(*cell)->count) : 1);
  } else {
    r = read_field(ctx, field, element_of(ctx, ctx.top[0], false));
  }
  set_arg_owned(ctx, 0, Value::from_int(r));
}

// The list forms replace each argument by its result.
void query_list(Interp& ctx, EleField field) {
  uint32_t n = close_frame(ctx);
  for (uint32_t i = 0; i < n; i++)
    set_arg_owned(ctx, i, Value::from_int(read_field(ctx, field, element_of(ctx, ctx.top[i], true))));
}

}  // namespace

void ele_register(uint32_t type, EleReader reader) {
  if (type < kElementTypeCount) g_readers[type] = reader;
}

void h_ele_adr(Interp& ctx) { query_top(ctx, EleField::Adr); }
void h_ele_bits(Interp& ctx) { query_top(ctx, EleField::Bits); }
void h_ele_imagedensityx(Interp& ctx) { query_top(ctx, EleField::DensityX); }
void h_ele_imagedensityy(Interp& ctx) { query_top(ctx, EleField::DensityY); }
void h_ele_imagehbitmap(Interp& ctx) { query_top(ctx, EleField::HBitmap); }
void h_ele_imagehdc(Interp& ctx) { query_top(ctx, EleField::Hdc); }
void h_ele_delay(Interp& ctx) { query_one(ctx, EleField::Delay); }
void h_ele_layerbusy(Interp& ctx) { query_one(ctx, EleField::LayerBusy); }
void h_ele_offx(Interp& ctx) { query_one(ctx, EleField::OffX); }
void h_ele_offy(Interp& ctx) { query_one(ctx, EleField::OffY); }
void h_ele_size(Interp& ctx) { query_one(ctx, EleField::Size); }
void h_ele_sizex(Interp& ctx) { query_one(ctx, EleField::SizeX); }
void h_ele_sizey(Interp& ctx) { query_one(ctx, EleField::SizeY); }
void h_ele_soundbusy(Interp& ctx) { query_one(ctx, EleField::SoundBusy); }
void h_ele_dim1(Interp& ctx) { query_list(ctx, EleField::Dim1); }
void h_ele_dim2(Interp& ctx) { query_list(ctx, EleField::Dim2); }
void h_ele_dim3(Interp& ctx) { query_list(ctx, EleField::Dim3); }
void h_ele_dim4(Interp& ctx) { query_list(ctx, EleField::Dim4); }
void h_ele_len(Interp& ctx) { query_list(ctx, EleField::Len); }

}  // namespace vm
