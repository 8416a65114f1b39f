// Archives bound to an executable: a program that carries its library
// archive. Needs no virtual machine, so the archive tool links it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace storage {

// Finds an archive bound to an executable file: the archive bytes appended
// to it, followed by the 16-byte trailer "QNVKBIND" + 64-bit length (LE).
// Returns false when the file carries none, or when its trailer is there
// but the archive cannot be read (then `problem`, when given, says why).
bool read_bound_archive(const std::string& executable, std::string& archive, std::string* problem = nullptr);
inline constexpr char kBindMagic[8] = {'Q', 'N', 'V', 'K', 'B', 'I', 'N', 'D'};
inline constexpr size_t kBindTrailerSize = 16;
inline constexpr int64_t kMaxBoundArchive = 0x7ffffff0;  // an element's largest payload
// Where the bound archive lies in an open executable; false when it has none.
bool bound_archive_extent(int fd, int64_t& start, int64_t& length);

}  // namespace storage
