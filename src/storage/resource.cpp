// "resource:" names: the archive an executable carries and its members.
// The Linux reading of resources is described in resource.h.
#include "storage/resource.h"

#include <string>

#include "storage/archive_directory.h"
#include "storage/bound_archive.h"
#include "storage/names.h"
#include "storage/stream.h"
#include "vm/element.h"

namespace storage {
namespace {

const uint8_t* g_own_data = nullptr;
size_t g_own_size = 0;
const uint8_t* g_builtin_data = nullptr;
size_t g_builtin_size = 0;

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool equals_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

// A read-only stream over a copy of the archive bytes.
uint32_t archive_copy_stream(const void* bytes, size_t size) {
  uint32_t block = filedata_new(bytes, size);
  if (!block) return 0;
  uint32_t h = stream_new(vm::Value::from_handle(block), true, false);
  vm::element_release(block);
  if (Stream* s = stream_of(h)) s->size = int64_t(size);
  return h;
}

// A stream on the member `key` of the archive read by `archive` (a stream of
// known size); the later of two equal names wins, as in an opened archive.
uint32_t member_stream(uint32_t archive, const std::string& key) {
  int64_t size = stream_of(archive)->size;
  ArchiveReader read = [archive](int64_t at, void* out, int64_t count) -> int64_t {
    return stream_seek(archive, at, 0) == at ? stream_read(archive, out, count) : 0;
  };
  const DirectoryEntry* found = nullptr;
  std::vector<DirectoryEntry> entries = read_directory(read, size);
  for (const DirectoryEntry& e : entries)
    if (e.name == key) found = &e;
  int64_t start = 0, length = 0;
  if (!found || !member_extent(read, size, found->offset, start, length)) return 0;
  uint32_t h = stream_new(vm::Value::from_handle(archive), true, false);
  if (Stream* s = stream_of(h)) {
    s->base = start;
    s->size = length;
  }
  return h;
}

}  // namespace

ResourceName resource_name_split(std::string_view rest) {
  rest = rest.substr(0, kNameLimit);
  ResourceName r{std::string(rest), "VK", "", kResourceRcdata};
  size_t colon = rest.rfind(':');
  if (colon == std::string_view::npos || (colon == 1 && is_letter(rest[0]))) return r;
  std::string_view kept = rest.substr(colon + 1), remain = rest.substr(0, colon);
  size_t second = remain.rfind(':');
  if (second != std::string_view::npos) {
    r.type_text = std::string(kept);
    r.name = std::string(remain.substr(second + 1));
    r.file = std::string(remain.substr(0, second));
  } else {
    r.name = std::string(kept);
    r.file = std::string(remain);
  }
  if (r.name.empty() && r.type_text.empty()) r.name = "VK";
  if (!r.type_text.empty()) r.type_number = resource_type_number(r.type_text);
  return r;
}

void set_own_archive(const uint8_t* data, size_t size) {
  g_own_data = data;
  g_own_size = data ? size : 0;
}

void set_builtin_archive(const uint8_t* data, size_t size) {
  g_builtin_data = data;
  g_builtin_size = data ? size : 0;
}

uint32_t resource_open(std::string_view rest) {
  ResourceName r = resource_name_split(rest);
  if (r.name.empty()) return 0;
  uint32_t archive = 0;
  if (r.file.empty()) {
    if (!g_own_data) return 0;
    archive = archive_copy_stream(g_own_data, g_own_size);
  } else {
    std::string bytes;
    if (!read_bound_archive(r.file, bytes)) return 0;
    archive = archive_copy_stream(bytes.data(), bytes.size());
  }
  if (!archive) return 0;
  if (equals_nocase(r.name, "VK") && r.type_number == kResourceRcdata) return archive;
  uint32_t member = member_stream(archive, lower_copy(r.name));
  vm::element_release(archive);  // the member stream holds its own reference
  // A bound program's archive holds the author's files only: what the
  // player itself needs (its default font) comes from its built-in archive.
  if (!member && r.file.empty() && g_builtin_data && g_builtin_data != g_own_data) {
    archive = archive_copy_stream(g_builtin_data, g_builtin_size);
    if (!archive) return 0;
    member = member_stream(archive, lower_copy(r.name));
    vm::element_release(archive);
  }
  return member;
}

}  // namespace storage
