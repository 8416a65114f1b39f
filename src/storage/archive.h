// Library archives: a directory of member names and offsets followed by the
// members. Open archives shadow disk files of the same name.
#pragma once

#include <cstdint>
#include <string_view>

#include "vm/value.h"

namespace vm {
struct Interp;
}

namespace storage {

// Opens the named archive (any readable name, gzip allowed) and enters it
// under that exact name; an existing entry of that name is replaced.
bool archive_open(vm::Interp* ctx, std::string_view name);
void archive_close_all();
// A stream on a member ("vk:" prefix optional; the key is used as given).
uint32_t archive_find_member(std::string_view name, bool can_read, bool can_write);
// Every member name of every open archive matching the wildcard pattern,
// each followed by CR LF; null when no archive is open. Owned text value.
vm::Value archive_list_members(std::string_view pattern);

}  // namespace storage
