#include "storage/archive_directory.h"

#include <cstring>
#include <set>

#include "base/bytes.h"

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
  int64_t want = base::load_le16(head);
  if (int64_t(at) + 2 + want > w.size) want = w.size - int64_t(at) - 2;  // truncated directory
  std::vector<uint8_t> dir(size_t(want > 0 ? want : 0));
  int64_t got = want > 0 ? w.read(int64_t(at) + 2, dir.data(), want) : 0;
  size_t len = got > 0 ? size_t(got) : 0;

  base::ByteReader in(dir.data(), len);
  while (in.remaining() > 4 && w.out.size() < kMaxDirectoryEntries) {
    const uint32_t offset = in.u32();
    const uint8_t* name_at = in.here();
    const void* nul = std::memchr(name_at, 0, in.remaining());
    if (!nul) break;  // the name's NUL is not inside the directory
    const size_t name_len = size_t(static_cast<const uint8_t*>(nul) - name_at);
    if (name_len > 0) {
      // A member needs at least its length field inside the archive.
      if (int64_t(offset) + 4 <= w.size) {
        std::string name(reinterpret_cast<const char*>(name_at), name_len);
        for (char& c : name)
          if (c >= 'A' && c <= 'Z') c = char(c + 32);
        w.out.push_back({std::move(name), offset});
      }
    } else if (offset != 0) {
      walk(w, offset, depth + 1);
    }
    in.skip(name_len + 1 > kEntryMinNameBytes ? name_len + 1 : kEntryMinNameBytes);
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
  int64_t n = base::load_le32(head);
  if (int64_t(offset) + 4 + n > archive_size) return false;
  start = int64_t(offset) + 4;
  length = n;
  return true;
}

}  // namespace storage
