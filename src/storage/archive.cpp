// Open library archives: a process-wide ARRAY keyed by the name each archive
// was opened under, whose values are VK elements.
#include "storage/archive.h"

#include <string>
#include <type_traits>

#include "storage/archive_directory.h"
#include "storage/names.h"
#include "storage/stream.h"
#include "vm/element.h"
#include "vm/variables.h"

namespace storage {

using vm::Value;

namespace {

// The record of a VK element (type 18).
struct VkArchive {
  Value directory;  // ARRAY: lower-case member name (text) -> member offset
  Value names;      // ARRAY: 0, 1, ... -> member name, in directory order, each once
  Value stream;     // the archive's own FILE stream
  int64_t size;     // the archive's length in bytes
};
// The record is made by clearing bytes (element_create).
static_assert(std::is_trivially_copyable_v<VkArchive>);

Value g_open_archives = Value::null();

void vk_cleanup(uint32_t, void* payload) {
  auto* vk = static_cast<VkArchive*>(payload);
  Value directory = vk->directory, names = vk->names, stream = vk->stream;
  vk->directory = vk->names = vk->stream = Value::null();
  vm::value_release(directory);
  vm::value_release(names);
  vm::value_release(stream);
}

std::string_view without_vk(std::string_view name) { return has_prefix(name, "vk:") ? name.substr(3) : name; }

ArchiveReader reader_of(uint32_t stream) {
  return [stream](int64_t at, void* out, int64_t count) -> int64_t {
    return stream_seek(stream, at, 0) == at ? stream_read(stream, out, count) : 0;
  };
}

// The first open archive, in key order, whose directory holds `key`, and the
// member's offset; null when none does.
VkArchive* archive_holding(Value key, uint32_t& offset) {
  vm::ArrayRecord* open = vm::array_of(g_open_archives);
  for (uint32_t i = 0; open && i < open->count; i++) {
    auto* vk = static_cast<VkArchive*>(vm::element_lookup(open->items[i].value, vm::kTypeVk));
    if (!vk) continue;
    if (Value* at = vm::table_find(vk->directory, key)) {
      offset = uint32_t(at->as_int());
      return vk;
    }
  }
  return nullptr;
}

}  // namespace

void archive_register_cleanup() { vm::element_set_cleanup(vm::kTypeVk, vk_cleanup); }

void archive_forget_all() { g_open_archives = Value::null(); }

bool archive_open(vm::Interp* ctx, std::string_view name) {
  uint32_t stream = stream_open_read_gz(ctx, name);
  if (!stream) return false;

  // The directory reader needs the archive's length; learn it for a disk file.
  int64_t here = stream_seek(stream, 0, 1);
  int64_t size = stream_seek(stream, 0, 2);
  std::vector<DirectoryEntry> entries;
  if (size > 0) entries = read_directory(reader_of(stream), size);
  stream_seek(stream, here < 0 ? 0 : here, 0);

  uint32_t h = vm::element_create(nullptr, sizeof(VkArchive), vm::kTypeVk);
  auto* vk = static_cast<VkArchive*>(vm::element_lookup(h, vm::kTypeVk));
  if (!vk) {
    stream_close(stream);
    return false;
  }
  vk->directory = vk->names = Value::null();
  vk->stream = Value::from_handle(stream);  // takes over our reference
  vk->size = size < 0 ? 0 : size;
  Value directory = Value::null(), names = Value::null();
  for (const DirectoryEntry& e : entries) {
    Value key = Value::from_handle(vm::text_intern(e.name));
    if (Value* cell = vm::table_get(directory, key)) {
      if (cell->is_null()) vm::array_append(names, key);
      *cell = Value::from_int(e.offset);  // a later entry of the same name replaces an earlier one
    }
    vm::value_release(key);
  }
  vk = static_cast<VkArchive*>(vm::element_lookup(h, vm::kTypeVk));
  vk->directory = directory;
  vk->names = names;

  Value label = Value::from_handle(vm::text_intern(name));
  if (Value* cell = vm::table_get(g_open_archives, label)) vm::value_store(*cell, Value::from_handle(h));
  vm::value_release(label);
  vm::element_release(h);
  return true;
}

void archive_close_all() {
  Value old = g_open_archives;
  g_open_archives = Value::null();
  vm::value_release(old);
}

bool archive_has_member(std::string_view name) {
  if (!vm::array_of(g_open_archives)) return false;
  Value key = Value::from_handle(vm::text_intern(without_vk(name)));
  uint32_t offset = 0;
  bool found = archive_holding(key, offset) != nullptr;
  vm::value_release(key);
  return found;
}

uint32_t archive_find_member(std::string_view name, bool can_read, bool can_write) {
  if (!vm::array_of(g_open_archives)) return 0;
  Value key = Value::from_handle(vm::text_intern(without_vk(name)));
  uint32_t offset = 0;
  VkArchive* vk = archive_holding(key, offset);
  vm::value_release(key);
  if (!vk) return 0;
  Value archive = vk->stream;
  int64_t start = 0, length = 0;
  if (!member_extent(reader_of(archive.handle()), vk->size, offset, start, length)) return 0;
  uint32_t h = stream_new(archive, can_read, can_write);
  if (Stream* s = stream_of(h)) {
    s->base = start;
    s->size = length;
  }
  return h;
}

Value archive_list_members(std::string_view pattern) {
  vm::ArrayRecord* open = vm::array_of(g_open_archives);
  if (!open || open->count == 0) return Value::null();
  std::string out;
  for (uint32_t i = 0; i < open->count; i++) {
    auto* vk = static_cast<VkArchive*>(vm::element_lookup(open->items[i].value, vm::kTypeVk));
    vm::ArrayRecord* names = vk ? vm::array_of(vk->names) : nullptr;
    for (uint32_t j = 0; names && j < names->count; j++) {
      std::string_view member = vm::element_text(names->items[j].value);
      if (!vm::wildcard_match(pattern, member)) continue;
      out += member;
      out += "\r\n";
    }
  }
  return Value::from_handle(vm::text_intern(out));
}

}  // namespace storage
