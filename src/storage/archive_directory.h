// The directory of a library archive, read without the virtual machine so
// that the archive tool can use it too.
//
// Layout (little-endian; offsets from the archive's first byte): a 16-bit
// directory length D, then D bytes of entries. Each entry is a 32-bit member
// offset and a NUL-terminated name padded with zeros to at least 13 bytes.
// An empty name with a non-zero offset chains another directory at that
// offset; an empty name with offset 0 is ignored. A member is a 32-bit
// length n and n bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace storage {

inline constexpr size_t kEntryMinNameBytes = 13;   // name field incl. NUL, at least
inline constexpr int kMaxDirectoryDepth = 64;      // chained directories, nested
inline constexpr int kMaxDirectories = 256;        // directories read per archive
inline constexpr size_t kMaxDirectoryEntries = 65536;

// Reads up to `count` bytes at offset `at` of the archive; returns the bytes
// obtained (fewer at the end, 0 on error).
using ArchiveReader = std::function<int64_t(int64_t at, void* out, int64_t count)>;

struct DirectoryEntry {
  std::string name;  // lower-cased, never empty
  uint32_t offset;   // of the member's length field
};

// Walks the directory at offset 0 and, depth first, every chained directory,
// returning the member entries in directory order. `archive_size` is the
// archive's byte length. Never reads outside [0, archive_size): a truncated
// directory is walked as far as it goes, an entry whose name has no NUL
// inside the directory ends the walk, a member offset that leaves no room
// for its length field is dropped, and a chained directory past the end, one
// already read (cycles), or beyond the depth and count caps is not followed.
std::vector<DirectoryEntry> read_directory(const ArchiveReader& read, int64_t archive_size);

// The data start and length of the member whose length field is at
// `offset`; false when the length field or the data would pass the end.
bool member_extent(const ArchiveReader& read, int64_t archive_size, uint32_t offset,
                   int64_t& start, int64_t& length);

}  // namespace storage
