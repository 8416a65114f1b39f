// filezip: writes a zip archive (the public zip format, deflate through
// zlib) holding named files read through the naming layer.
#include <sys/stat.h>
#include <zlib.h>

#include <ctime>
#include <string>
#include <vector>

#include "storage/files.h"
#include "storage/names.h"
#include "storage/stream.h"
#include "vm/commands.h"
#include "vm/interp.h"
#include "vm/sysvars.h"

namespace storage {
namespace {

// Sizes and offsets are 32-bit fields (no zip64): a file that could pass
// them is left out, and no entry starts or ends beyond them.
constexpr int64_t kMaxEntrySize = 0xfff00000;
constexpr int64_t kMaxArchiveSize = 0xffffffff;
constexpr size_t kMaxEntries = 65535;

struct Entry {
  std::string name;
  uint32_t crc, packed, size, offset;
  uint16_t time, date;
};

void put16(std::string& out, uint32_t v) {
  out += char(v & 0xff);
  out += char(v >> 8 & 0xff);
}
void put32(std::string& out, uint32_t v) {
  put16(out, v & 0xffff);
  put16(out, v >> 16);
}

// The name an entry is stored under: without a naming-layer prefix or a
// drive, with "/" between parts, and with no empty, "." or ".." parts, so
// that extracting the archive never writes outside its folder. Empty when
// nothing is left.
std::string entry_name(std::string_view name) {
  for (std::string_view p : {"disk:", "vk:", "mem:", "resource:"})
    if (has_prefix(name, p)) name.remove_prefix(p.size());
  size_t colon = name.find_last_of(':');
  if (colon != std::string_view::npos) name.remove_prefix(colon + 1);
  std::string out, part;
  auto flush = [&] {
    if (!part.empty() && part != "." && part != "..") out += (out.empty() ? "" : "/") + part;
    part.clear();
  };
  for (char c : name) {
    if (c == '/' || c == '\\')
      flush();
    else
      part += c;
  }
  flush();
  return out;
}

// The MS-DOS date and time of a moment (local time; before 1980 is 1980).
void dos_time(std::time_t t, uint16_t& time, uint16_t& date) {
  std::tm tm{};
  localtime_r(&t, &tm);
  if (tm.tm_year < 80) {
    tm = std::tm{};
    tm.tm_year = 80;
    tm.tm_mday = 1;
  }
  date = uint16_t(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
  time = uint16_t((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
}

void local_header(std::string& out, const Entry& e) {
  put32(out, 0x04034b50);
  put16(out, 20);  // version needed: deflate
  put16(out, 0);   // flags
  put16(out, 8);   // method: deflate
  put16(out, e.time);
  put16(out, e.date);
  put32(out, e.crc);
  put32(out, e.packed);
  put32(out, e.size);
  put16(out, uint32_t(e.name.size()));
  put16(out, 0);  // extra field length
  out += e.name;
}

class ZipWriter {
 public:
  explicit ZipWriter(uint32_t out) : out_(out) {}

  bool ok() const { return ok_; }
  size_t count() const { return entries_.size(); }

  // Adds the content of an open stream; false when it was left out.
  bool add(const std::string& name, uint32_t in, std::time_t mtime) {
    if (!ok_ || name.empty() || name.size() > 0xffff || entries_.size() >= kMaxEntries) return false;
    int64_t size = stream_seek(in, 0, 2);
    if (size < 0 || size > kMaxEntrySize || stream_seek(in, 0, 0) != 0) return false;
    int64_t worst = 30 + int64_t(name.size()) + size + size / 1000 + 1024;
    if (offset_ + worst + 46 + int64_t(name.size()) + cd_bytes_ + 22 > kMaxArchiveSize) return false;
    Entry e{name, 0, 0, 0, uint32_t(offset_), 0, 0};
    dos_time(mtime, e.time, e.date);
    std::string header;
    local_header(header, e);
    if (!write(header)) return false;

    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return ok_ = false;
    std::vector<unsigned char> in_buf(65536), out_buf(65536);
    uLong crc = crc32(0, nullptr, 0);
    int64_t total = 0, packed = 0;
    int flush = Z_NO_FLUSH;
    while (flush != Z_FINISH && ok_) {
      int64_t got = stream_read(in, in_buf.data(), int64_t(in_buf.size()));
      if (got <= 0 || total + got > size) {
        got = got > 0 ? size - total : 0;  // never more than was measured
        flush = Z_FINISH;
      }
      crc = crc32(crc, in_buf.data(), uInt(got));
      total += got;
      z.next_in = in_buf.data();
      z.avail_in = uInt(got);
      int r;
      do {
        z.next_out = out_buf.data();
        z.avail_out = uInt(out_buf.size());
        r = deflate(&z, flush);
        if (r == Z_STREAM_ERROR) {
          ok_ = false;
          break;
        }
        size_t have = out_buf.size() - z.avail_out;
        packed += int64_t(have);
        if (!write(std::string_view(reinterpret_cast<char*>(out_buf.data()), have))) break;
      } while (z.avail_out == 0 || (flush == Z_FINISH && r != Z_STREAM_END));
    }
    deflateEnd(&z);
    if (!ok_) return false;
    e.crc = uint32_t(crc);
    e.packed = uint32_t(packed);
    e.size = uint32_t(total);
    // Fill in the sizes and checksum of the local header, then go back to the end.
    std::string fix;
    put32(fix, e.crc);
    put32(fix, e.packed);
    put32(fix, e.size);
    if (stream_seek(out_, e.offset + 14, 0) != e.offset + 14 || stream_write(out_, fix.data(), 12) != 12 ||
        stream_seek(out_, offset_, 0) != offset_)
      return ok_ = false;
    cd_bytes_ += 46 + int64_t(name.size());
    entries_.push_back(std::move(e));
    return true;
  }

  // The central directory and its end record.
  bool finish() {
    std::string cd;
    for (const Entry& e : entries_) {
      put32(cd, 0x02014b50);
      put16(cd, 20);  // made by: version 2.0
      put16(cd, 20);  // needed
      put16(cd, 0);
      put16(cd, 8);
      put16(cd, e.time);
      put16(cd, e.date);
      put32(cd, e.crc);
      put32(cd, e.packed);
      put32(cd, e.size);
      put16(cd, uint32_t(e.name.size()));
      put16(cd, 0);  // extra
      put16(cd, 0);  // comment
      put16(cd, 0);  // disk
      put16(cd, 0);  // internal attributes
      put32(cd, 0);  // external attributes
      put32(cd, e.offset);
      cd += e.name;
    }
    uint32_t cd_offset = uint32_t(offset_), cd_size = uint32_t(cd.size());
    put32(cd, 0x06054b50);
    put16(cd, 0);
    put16(cd, 0);
    put16(cd, uint32_t(entries_.size()));
    put16(cd, uint32_t(entries_.size()));
    put32(cd, cd_size);
    put32(cd, cd_offset);
    put16(cd, 0);  // comment
    return write(cd);
  }

 private:
  bool write(std::string_view bytes) {
    if (!ok_) return false;
    if (!bytes.empty() && stream_write(out_, bytes.data(), int64_t(bytes.size())) != int64_t(bytes.size()))
      return ok_ = false;
    offset_ += int64_t(bytes.size());
    return true;
  }

  uint32_t out_;
  bool ok_ = true;
  int64_t offset_ = 0;
  int64_t cd_bytes_ = 0;
  std::vector<Entry> entries_;
};

// Opens a name as stored: through the naming layer, without inflating gzip.
uint32_t open_raw(vm::Interp& ctx, std::string_view name) {
  vm::Value saved = ctx.sysvars[vm::SV_var_filegzip];
  vm::value_ref(saved);
  vm::sysvar_set_int(ctx, vm::SV_var_filegzip, 0);
  uint32_t h = stream_open_read_gz(&ctx, name);
  vm::value_store(ctx.sysvars[vm::SV_var_filegzip], saved);
  vm::value_release(saved);
  return h;
}

}  // namespace
}  // namespace storage

namespace vm {

// filezip zipname file...: writes a zip archive holding the files (each
// read through the naming layer as stored, gzip files not inflated, and
// compressed with deflate). Entries are named by the file names without
// prefix, drive or "." and ".." parts. A name that cannot be read is left
// out. The number of files stored; 0 when the archive could not be written.
void h_filezip(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t stored = 0;
  uint32_t out = n >= 1 ? storage::stream_create(&ctx, storage::TextArg(ctx, ctx.top[0]).view()) : 0;
  if (out) {
    storage::ZipWriter zip(out);
    for (uint32_t i = 1; i < n && zip.ok(); i++) {
      storage::TextArg name(ctx, ctx.top[i]);
      uint32_t in = storage::open_raw(ctx, name.view());
      if (!in) continue;
      std::string path;
      struct stat st;
      std::time_t mtime = storage::disk_path(name.view(), path) && ::stat(path.c_str(), &st) == 0
                              ? st.st_mtim.tv_sec
                              : std::time(nullptr);
      zip.add(storage::entry_name(name.view()), in, mtime);
      storage::stream_close(in);
    }
    stored = zip.finish() ? int64_t(zip.count()) : 0;
    storage::stream_close(out);
  }
  storage::finish_int(ctx, n, stored);
}

}  // namespace vm
