// Writes library archives: one directory (16-bit length, entries, one
// all-zero 17-byte closing entry counted in the length), then the members.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace storage {

struct ArchiveMember {
  std::string name;  // stored lower-cased
  std::string data;
};

inline constexpr size_t kMaxDirectoryBytes = 65535;

// The bytes of one directory entry for a member name: 32-bit offset, then
// the name with its NUL padded to at least 13 bytes.
size_t directory_entry_size(size_t name_length);

// Builds the archive into `out`. Fails with a message in `error` when a name
// is empty or holds a NUL, two names are equal once lower-cased, the
// directory would pass 65535 bytes, or the archive would pass 4 GiB (its
// offsets are 32-bit).
bool write_archive(const std::vector<ArchiveMember>& members, std::string& out, std::string& error);

}  // namespace storage
