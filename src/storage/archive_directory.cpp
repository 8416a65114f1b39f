#include "storage/archive_directory.h"

#include <set>

namespace storage {
namespace {

struct Walk {
  const ArchiveReader& read;
  int64_t size;
  std::set<uint32_t> visited;  // offsets of every directory read
  std::vector<DirectoryEntry> out;
};

void walk(Walk& w, uint32_t at, int depth) {
  if (depth >= kMaxDirectoryDepth || int(w.visited.size()) >= kMaxDirectories) return;
  if (int64_t(at) + 2 > w.size || !w.visited.insert(at).second) return;
  uint8_t head[2];
  if (w.read(at, head, 2) != 2) return;
  int64_t want = read_le16(head);
  if (int64_t(at) + 2 + want > w.size) want = w.size - int64_t(at) - 2;  // truncated directory
  std::vector<uint8_t> dir(size_t(want > 0 ? want : 0));
  int64_t got = want > 0 ? w.read(int64_t(at) + 2, dir.data(), want) : 0;
  size_t len = got > 0 ? size_t(got) : 0;

  size_t pos = 0;
  while (pos + 4 < len && w.out.size() < kMaxDirectoryEntries) {
    uint32_t offset = read_le32(&dir[pos]);
    size_t name_at = pos + 4, end = name_at;
    while (end < len && dir[end] != 0) end++;
    if (end >= len) break;  // the name's NUL is not inside the directory
    size_t name_len = end - name_at;
    if (name_len > 0) {
      // A member needs at least its length field inside the archive.
      if (int64_t(offset) + 4 <= w.size) {
        std::string name(reinterpret_cast<const char*>(&dir[name_at]), name_len);
        for (char& c : name)
          if (c >= 'A' && c <= 'Z') c = char(c + 32);
        w.out.push_back({std::move(name), offset});
      }
    } else if (offset != 0) {
      walk(w, offset, depth + 1);
    }
    pos += 4 + (name_len + 1 > kEntryMinNameBytes ? name_len + 1 : kEntryMinNameBytes);
  }
}

}  // namespace

std::vector<DirectoryEntry> read_directory(const ArchiveReader& read, int64_t archive_size) {
  Walk w{read, archive_size, {}, {}};
  walk(w, 0, 0);
  return std::move(w.out);
}

bool member_extent(const ArchiveReader& read, int64_t archive_size, uint32_t offset,
                   int64_t& start, int64_t& length) {
  if (int64_t(offset) + 4 > archive_size) return false;
  uint8_t head[4];
  if (read(offset, head, 4) != 4) return false;
  int64_t n = read_le32(head);
  if (int64_t(offset) + 4 + n > archive_size) return false;
  start = int64_t(offset) + 4;
  length = n;
  return true;
}

}  // namespace storage
