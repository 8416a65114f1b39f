#include "scripts/program.h"

#include <algorithm>

#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "base/bytes.h"
#include "scripts/listing.h"
#include "storage/stream.h"
#include "vm/call_frames.h"
#include "vm/commands.h"
#include "vm/control.h"
#include "vm/runs.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/heap.h"
#include "vm/interp.h"
#include "vm/opcodes.h"
#include "vm/variables.h"

namespace scripts {
namespace {

// The PROGRAM element holds the file image; freeing it unbinds its labels.
void program_cleanup(uint32_t, void* payload) {
  const auto* image = static_cast<const uint8_t*>(payload);
  ImageHeader h = image_header(image);
  vm::unbind_labels(reinterpret_cast<const uint32_t*>(image + kHeaderSize), h.words);
}

void drop_scopes_above(vm::Interp& ctx, int64_t keep) {
  for (int64_t d = ctx.scope_depth; d > keep && d >= 0; d--)
    if (vm::CallFrame* frame = vm::call_frame(ctx, uint32_t(d))) vm::frame_leave(ctx, frame);
  std::vector<vm::Value> doomed;
  if (vm::ArrayRecord* a = vm::array_of(ctx.scopes))
    for (uint32_t i = 0; i < a->count; i++)
      if (a->items[i].key.is_int() && a->items[i].key.as_int() > keep) doomed.push_back(a->items[i].key);
  for (vm::Value key : doomed) vm::table_remove(&ctx, ctx.scopes, key);
}

void context_closer(vm::Interp& ctx) { unload_program(ctx, true); }

// Drops the symbol table's hold on names 1..count; a name nothing else
// uses is freed.
void release_names(const uint32_t* symbols, uint32_t count) {
  for (uint32_t i = 1; i <= count; i++) {
    vm::ElementEntry* e = vm::element_entry(symbols[i]);
    if (!e) continue;
    if ((e->holds & vm::kHoldMask) > 0) e->holds--;
    if (e->refs < 1 && (e->holds & vm::kHoldMask) == 0) vm::element_free(symbols[i]);
  }
}

// Reads a whole stream up to `limit` bytes.
std::vector<uint8_t> read_all(uint32_t stream, size_t limit) {
  std::vector<uint8_t> data;
  uint8_t chunk[65536];
  while (data.size() < limit) {
    int64_t want = int64_t(std::min(sizeof chunk, limit - data.size()));
    int64_t got = storage::stream_read(stream, chunk, want);
    if (got <= 0) break;
    data.insert(data.end(), chunk, chunk + got);
  }
  return data;
}

}  // namespace

bool load_program_image(vm::Interp& target, const uint8_t* image, size_t size) {
  if (!validate_image(image, size)) return false;
  ImageHeader h = image_header(image);
  uint32_t handle = vm::element_create(image, size, vm::kTypeProgram);
  auto* copy = static_cast<uint8_t*>(vm::element_lookup(handle, vm::kTypeProgram));
  auto* symbols = static_cast<uint32_t*>(vm::heap_alloc((size_t(h.names) + 1) * sizeof(uint32_t)));
  if (!copy || !symbols) {
    vm::element_release(handle);
    vm::heap_free(symbols);
    return false;
  }
  // Intern every name; the symbol table holds each one. This is done before
  // the old program goes, so that a program whose names do not fit in the
  // element table is refused and the old one keeps running.
  const uint8_t* lengths = copy + kHeaderSize + 4ull * h.words;
  const uint8_t* text = lengths + 2ull * h.names;
  std::vector<uint32_t> index(size_t(h.names) + 1, 0);
  for (uint32_t i = 1; i <= h.names; i++) {
    uint16_t n = base::load_le16(lengths + 2ull * (i - 1));
    symbols[i] = vm::name_intern(text, n);
    index[i] = symbols[i] & vm::kIndexMask;
    text += n;
    if (index[i] == 0) {
      std::fprintf(stderr, "quillon: a script cannot be loaded: the element table is full\n");
      release_names(symbols, i - 1);
      vm::heap_free(symbols);
      vm::element_release(handle);
      return false;
    }
  }
  unload_program(target, false);
  target.program = handle;
  target.symbols = symbols;
  target.symbol_count = h.names;
  // Relocate: name numbers become element indices.
  auto* code = reinterpret_cast<uint32_t*>(copy + kHeaderSize);
  for (uint32_t i = 0; i < h.words; i++) {
    uint32_t w = base::load_le32(copy + kHeaderSize + 4ull * i);
    if (has_name_operand(w)) w = (w & 0xff000000u) | index[w & 0xffffff];
    code[i] = w;
  }
  vm::runs_forget(target);
  target.code = code;
  target.code_length = h.words;
  target.pc = 0;
  vm::bind_labels(&target, code, h.words);  // a duplicate label raises; the program stays loaded
  return true;
}

bool load_program(vm::Interp& target, vm::Interp& opener, std::string_view name, bool report, std::string* problem) {
  std::string mapped = map_script_name(name);
  uint32_t stream = storage::stream_open_read_gz(&opener, mapped);
  if (!stream) {
    if (report) {
      std::string extra = " Script \"" + std::string(name) + "\"";
      vm::raise_error(opener, vm::kErrMissingFile, extra.c_str());
    }
    if (problem) *problem = mapped + ": no such script";
    return false;
  }
  uint8_t head[kHeaderSize];
  bool is_script = storage::stream_read(stream, head, kHeaderSize) == kHeaderSize && std::memcmp(head, kMagic, 8) == 0;
  if (!is_script) {
    storage::stream_close(stream);
    if (problem) *problem = mapped + " is not a compiled script";
    return false;
  }
  storage::stream_seek(stream, 0, 0);
  ImageHeader h = image_header(head);
  std::vector<uint8_t> image = read_all(stream, h.total);
  storage::stream_close(stream);
  // Note: the whole file is read and checked before the old program is
  // unloaded, so a short or malformed file never leaves the context without
  // code: it keeps running the program it had.
  base::Status sound = image.size() < h.total ? base::Failure{"the file is shorter than its header says"}
                                              : validate_image(image.data(), image.size());
  if (!sound) {
    std::string why = mapped + " is not a valid compiled script: " + sound.error();
    if (problem)
      *problem = why;
    else
      std::fprintf(stderr, "quillon: %s\n", why.c_str());
    return false;
  }
  if (!load_program_image(target, image.data(), image.size())) return false;
  listing_note_program(target.code, mapped);  // its source lines, for the author's tools
  return true;
}

void unload_program(vm::Interp& ctx, bool full) {
  if (!ctx.program) return;
  ctx.pc = 0;
  ctx.current_line = 0;
  drop_scopes_above(ctx, full ? -1 : 1);
  ctx.scope_depth = 1;
  while (ctx.top < ctx.stack_base) vm::value_release(*ctx.top++);
  ctx.frame_depth = 0;
  release_names(ctx.symbols, ctx.symbol_count);
  vm::heap_free(ctx.symbols);
  ctx.symbols = nullptr;
  ctx.symbol_count = 0;
  uint32_t program = ctx.program;
  ctx.program = 0;
  listing_note_program(ctx.code, "");
  vm::runs_forget(ctx);
  ctx.code = nullptr;
  ctx.code_length = 0;
  vm::element_release(program);
}

std::vector<uint8_t> image_from_loaded_words(const std::vector<uint32_t>& words) {
  std::vector<std::string> names;
  std::unordered_map<uint32_t, uint32_t> number;  // element index -> name number
  std::vector<uint32_t> out;
  for (uint32_t w : words) {
    if (has_name_operand(w)) {
      uint32_t index = w & 0xffffff;
      auto it = number.find(index);
      if (it == number.end()) {
        names.emplace_back(vm::element_text(vm::Value::from_handle(vm::kHandleBase + index)));
        it = number.emplace(index, uint32_t(names.size())).first;
      }
      w = (w & 0xff000000u) | it->second;
    }
    out.push_back(w);
  }
  if (out.empty() || out.back() != vm::kEndWord) out.push_back(vm::kEndWord);
  return build_image(out, names);
}

void scripts_init() {
  vm::element_set_cleanup(vm::kTypeProgram, program_cleanup);
  vm::interp_add_closer(context_closer);
}

}  // namespace scripts

namespace vm {

// scriptlink NAME [LABEL [ARGS...]]: replaces the running program by the
// named compiled script and continues at its start or at the label.
void h_scriptlink(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n == 0) return;
  Value name_text = value_to_text(&ctx, ctx.top[0]);
  std::string name(element_text(name_text).substr(0, 1024));
  value_release(name_text);
  Value label = Value::null();
  if (n > 2) {
    // The label and its arguments, combined as arraylabel combines them.
    label = Value::from_handle(array_new());
    if (ArrayRecord* a = array_of(label)) value_store(a->label, ctx.top[1]);
    for (uint32_t i = 2; i < n; i++) array_append(label, ctx.top[i]);
  } else if (n == 2) {
    label = ctx.top[1];
    value_ref(label);
  }
  pop_n(ctx, n);
  if (!scripts::load_program(ctx, ctx, name, true)) {
    value_release(label);
    return;
  }
  if (!label.is_null()) {
    push_owned(ctx, label);
    op_goto(ctx);
  }
}

void h_scriptcompile(Interp& ctx) { pop_n(ctx, close_frame(ctx)); }

}  // namespace vm
