// File commands: handles (open, read, write, seek), whole files, and the
// file-system commands (delete, rename, copy, dates, attributes).
//
// Every name goes through the naming layer, so the open and whole-file
// commands also reach archive members, resources and "mem:" buffers. The
// file-system commands work on disk files only: a name with another prefix
// is refused. On Linux terms, a file's "date" and "time" are those of its
// last modification in local time.
#include "storage/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "storage/membuf.h"
#include "storage/names.h"
#include "storage/stream.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace storage {

using vm::Interp;
using vm::Value;

// --- arguments ------------------------------------------------------------------

TextArg::TextArg(Interp& ctx, Value v) : owned_(Value::null()) {
  if (vm::element_type_of(v) == vm::kTypeString) {
    bytes_ = vm::element_text(v);
  } else if (!v.is_null()) {
    owned_ = vm::value_to_text(&ctx, v);
    bytes_ = vm::element_text(owned_);
  }
}

TextArg::~TextArg() { vm::value_release(owned_); }

int64_t int_arg(Interp& ctx, uint32_t n, uint32_t i) { return vm::value_to_integer(&ctx, vm::arg(ctx, n, i)); }

uint32_t stream_arg(Interp& ctx, uint32_t n, uint32_t i) {
  Value v = vm::arg(ctx, n, i);
  return v.is_element() && stream_of(v.handle()) ? v.handle() : 0;
}

int64_t address_arg(Interp& ctx, uint32_t n, uint32_t i) {
  Value v = vm::arg(ctx, n, i);
  if (const MemBuf* m = membuf_of(element_arg(ctx, v, vm::kTypeMemBuf))) return m->data ? address_of(m->data) : 0;
  return vm::value_to_integer(&ctx, v);
}

Value element_arg(Interp& ctx, Value v, uint32_t type) {
  uint32_t t = vm::element_type_of(v);
  if (t == type) return v;
  if (t != vm::kTypeString && t != vm::kTypeArrayPath) return Value::null();
  Value* cell = vm::var_find(ctx, v);
  return cell && vm::element_type_of(*cell) == type ? *cell : Value::null();
}

void finish_int(Interp& ctx, uint32_t n, int64_t v) {
  vm::pop_n(ctx, n);
  vm::push_int(ctx, v);
}

void finish_text(Interp& ctx, uint32_t n, std::string_view s) {
  finish_value(ctx, n, Value::from_handle(vm::text_intern(s)));
}

void finish_value(Interp& ctx, uint32_t n, Value owned) {
  vm::pop_n(ctx, n);
  vm::push_owned(ctx, owned);
}

void finish_none(Interp& ctx, uint32_t n) { vm::pop_n(ctx, n); }

// --- names and whole streams ------------------------------------------------------

bool write_all(int fd, std::string_view data) {
  for (size_t at = 0; at < data.size();) {
    ssize_t put = ::write(fd, data.data() + at, data.size() - at);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    at += size_t(put);
  }
  return true;
}

bool disk_path(std::string_view name, std::string& path) {
  if (has_prefix(name, "disk:")) {
    name.remove_prefix(5);
  } else if (has_prefix(name, "mem:") || has_prefix(name, "vk:") || has_prefix(name, "resource:") ||
             is_network_name(name)) {
    return false;
  }
  if (name.empty() || name.find('\0') != std::string_view::npos) return false;
  path.assign(name);
  return true;
}

bool read_named(Interp& ctx, std::string_view name, std::string& out, int64_t limit) {
  out.clear();
  uint32_t h = stream_open_read_gz(&ctx, name);
  if (!h) return false;
  bool whole = stream_read_rest(h, out, limit);
  stream_close(h);
  if (!whole)
    std::fprintf(stderr, "quillon: \"%.*s\" is not read: it holds more than %lld bytes\n", int(name.size()),
                 name.data(), static_cast<long long>(limit));
  return whole;
}

namespace {
constexpr int64_t kCopyBlock = 65536;
}  // namespace

// Both copy in blocks and check the range of each block just before it is
// touched: a write through a "mem:" stream may move the very buffer the
// address points into.
int64_t read_to_address(Interp& ctx, uint32_t h, int64_t address, int64_t count) {
  uint8_t* p;
  if (!h || count <= 0 || !script_memory_range(ctx, address, count, &p)) return 0;
  std::vector<uint8_t> block(size_t(std::min(count, kCopyBlock)));
  int64_t done = 0;
  while (done < count) {
    int64_t want = std::min(count - done, kCopyBlock);
    int64_t got = stream_read(h, block.data(), want);
    if (got <= 0) break;
    if (!script_memory_range(ctx, address + done, got, &p)) break;
    std::memcpy(p, block.data(), size_t(got));
    done += got;
    if (got < want) break;
  }
  return done;
}

int64_t write_from_address(Interp& ctx, uint32_t h, int64_t address, int64_t count) {
  uint8_t* p;
  if (!h || count <= 0 || !script_memory_range(ctx, address, count, &p)) return 0;
  std::vector<uint8_t> block(size_t(std::min(count, kCopyBlock)));
  int64_t done = 0;
  while (done < count) {
    int64_t want = std::min(count - done, kCopyBlock);
    if (!script_memory_range(ctx, address + done, want, &p)) break;
    std::memcpy(block.data(), p, size_t(want));
    int64_t put = stream_write(h, block.data(), want);
    if (put > 0) done += put;
    if (put < want) break;
  }
  return done;
}

namespace {

// The stream behind a handle, or null.
Stream* open_stream(uint32_t h) { return h ? stream_of(h) : nullptr; }

// Closes the file behind a handle at once and leaves the handle dead:
// reads and writes give 0, seeks -1.
void close_handle(uint32_t h) {
  Stream* s = open_stream(h);
  if (!s) return;
  Value src = s->source;
  s->source = Value::null();
  s->can_read = s->can_write = 0;
  s->position = 0;
  s->size = 0;
  release_source(src);
}

// Pushes the result of an open command: the handle, or 0.
void finish_open(Interp& ctx, uint32_t n, uint32_t h) {
  if (h)
    finish_value(ctx, n, Value::from_handle(h));
  else
    finish_int(ctx, n, 0);
}

// Reads exactly `count` bytes; false (the bytes read are consumed) when the
// data ends first.
bool read_exact(uint32_t h, void* out, int64_t count) {
  return h && stream_read(h, out, count) == count;
}

int64_t read_le(uint32_t h, int bytes) {
  uint8_t b[4] = {};
  if (!read_exact(h, b, bytes)) return 0;
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | b[i];
  return bytes == 4 ? int64_t(int32_t(v)) : int64_t(v);
}

void write_le(uint32_t h, uint32_t v, int bytes) {
  uint8_t b[4];
  for (int i = 0; i < bytes; i++) b[i] = uint8_t(v >> (8 * i));
  if (h) stream_write(h, b, bytes);
}

// Writes the text, optionally followed by CR LF, at the end of a file
// opened for update (created when missing).
void send_text(Interp& ctx, std::string_view name, std::string_view text, bool line_end) {
  uint32_t h = stream_open_update(&ctx, name);
  if (!h) h = stream_create(&ctx, name);
  if (!h) return;
  stream_seek(h, 0, 2);
  std::string bytes(text);
  if (line_end) bytes += "\r\n";
  stream_write(h, bytes.data(), int64_t(bytes.size()));
  stream_close(h);
}

bool stat_disk(std::string_view name, struct stat& st) {
  std::string path;
  return disk_path(name, path) && ::stat(path.c_str(), &st) == 0;
}

std::tm local_mtime(const struct stat& st) {
  std::tm tm{};
  std::time_t t = st.st_mtim.tv_sec;
  localtime_r(&t, &tm);
  return tm;
}

std::string_view base_name(std::string_view path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool has_wildcard(std::string_view s) { return s.find_first_of("*?") != std::string_view::npos; }

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Copies one disk file, keeping its modification time. Refuses to copy a
// file onto itself (which would empty it).
bool copy_file(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not block
  if (in < 0) return false;
  struct stat st, dst;
  bool ok = ::fstat(in, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && ::stat(to.c_str(), &dst) == 0 && dst.st_dev == st.st_dev && dst.st_ino == st.st_ino) ok = false;
  int out = ok ? ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666) : -1;
  if (out < 0) {
    ::close(in);
    return false;
  }
  std::vector<char> block(static_cast<size_t>(kCopyBlock));
  while (ok) {
    ssize_t got = ::read(in, block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (ssize_t at = 0; at < got && ok;) {
      ssize_t put = ::write(out, block.data() + at, size_t(got - at));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) ok = false;
      else at += put;
    }
  }
  if (ok) {
    struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    ::futimens(out, times);
  }
  ok = ::close(out) == 0 && ok;
  ::close(in);
  return ok;
}

}  // namespace
}  // namespace storage

namespace vm {

using storage::TextArg;

// --- handles ----------------------------------------------------------------------

// The three openers: fileopen name (for reading, gzip inflated when
// var_filegzip is on), filecreate name (created or emptied), fileappend
// name (an existing file for reading and writing, positioned at its start:
// the first write overwrites the first bytes). Each gives a handle, or 0.
template <uint32_t (*Open)(Interp*, std::string_view)>
void open_command(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  TextArg name(ctx, arg(ctx, n, 0));
  storage::finish_open(ctx, n, Open(&ctx, name.view()));
}
void h_fileopen(Interp& ctx) { open_command<storage::stream_open_read_gz>(ctx); }
void h_filecreate(Interp& ctx) { open_command<storage::stream_create>(ctx); }
void h_fileappend(Interp& ctx) { open_command<storage::stream_open_update>(ctx); }

// fileclose handle...: closes each file at once. Note: the handle is left
// dead rather than freed, so that a variable still holding it can never
// reach an element that later took its slot.
void h_fileclose(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  for (uint32_t i = 0; i < n; i++) storage::close_handle(storage::stream_arg(ctx, n, i));
  pop_n(ctx, n);
}

// fileread handle address count: reads into raw memory; the bytes read, 0
// when the range is not wholly inside a live buffer.
void h_fileread(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t done = storage::read_to_address(ctx, storage::stream_arg(ctx, n, 0), storage::address_arg(ctx, n, 1),
                                          storage::int_arg(ctx, n, 2));
  storage::finish_int(ctx, n, done);
}

// filewrite handle text [count] | handle address count: the bytes written.
// A text (or a number without a count) is written as text, at most count
// bytes of it; a number with a count is a raw address; a buffer is its
// first byte's address, and without a count the whole buffer is written.
void h_filewrite(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t h = storage::stream_arg(ctx, n, 0);
  Value data = arg(ctx, n, 1);
  int64_t done = 0;
  if (const storage::MemBuf* m = storage::membuf_of(data)) {
    int64_t count = n >= 3 ? storage::int_arg(ctx, n, 2) : m->size;
    done = m->data ? storage::write_from_address(ctx, h, storage::address_of(m->data), count) : 0;
  } else if (data.is_int() && n >= 3) {
    done = storage::write_from_address(ctx, h, data.as_int(), storage::int_arg(ctx, n, 2));
  } else if (h) {
    TextArg t(ctx, data);
    int64_t count = int64_t(t.view().size());
    if (n >= 3) count = std::clamp<int64_t>(storage::int_arg(ctx, n, 2), 0, count);
    done = count > 0 ? storage::stream_write(h, t.view().data(), count) : 0;
  }
  storage::finish_int(ctx, n, done);
}

// filewriteline handle text: the text, then CR LF.
void h_filewriteline(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (uint32_t h = storage::stream_arg(ctx, n, 0)) {
    std::string line = TextArg(ctx, arg(ctx, n, 1)).str() + "\r\n";
    storage::stream_write(h, line.data(), int64_t(line.size()));
  }
  pop_n(ctx, n);
}

// filereadbyte, filereadword, filereadlong handle: the next 1, 2 or 4 bytes,
// little-endian; bytes and words unsigned, longs signed. 0 when the data
// ends first.
void h_filereadbyte(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  storage::finish_int(ctx, n, storage::read_le(storage::stream_arg(ctx, n, 0), 1));
}
void h_filereadword(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  storage::finish_int(ctx, n, storage::read_le(storage::stream_arg(ctx, n, 0), 2));
}
void h_filereadlong(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  storage::finish_int(ctx, n, storage::read_le(storage::stream_arg(ctx, n, 0), 4));
}

// filereadfloat handle: the next 4-byte IEEE single, as a float.
void h_filereadfloat(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  float f = 0;
  if (!storage::read_exact(storage::stream_arg(ctx, n, 0), &f, 4)) f = 0;
  Value r = value_from_float(&ctx, double(f));
  storage::finish_value(ctx, n, r);
}

void h_filewritebyte(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  storage::write_le(storage::stream_arg(ctx, n, 0), uint32_t(storage::int_arg(ctx, n, 1)), 1);
  pop_n(ctx, n);
}
void h_filewriteword(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  storage::write_le(storage::stream_arg(ctx, n, 0), uint32_t(storage::int_arg(ctx, n, 1)), 2);
  pop_n(ctx, n);
}
void h_filewritelong(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  storage::write_le(storage::stream_arg(ctx, n, 0), uint32_t(storage::int_arg(ctx, n, 1)), 4);
  pop_n(ctx, n);
}
void h_filewritefloat(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  float f = float(value_to_float(&ctx, arg(ctx, n, 1)));
  if (uint32_t h = storage::stream_arg(ctx, n, 0)) storage::stream_write(h, &f, 4);
  pop_n(ctx, n);
}

// fileseek handle offset [origin]: origin 0 (the default) from the start, 1
// from the current position, 2 from the end. The new position, or -1.
void h_fileseek(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t h = storage::stream_arg(ctx, n, 0);
  int64_t origin = n >= 3 ? storage::int_arg(ctx, n, 2) : 0;
  int64_t r = h && origin >= 0 && origin <= 2 ? storage::stream_seek(h, storage::int_arg(ctx, n, 1), int(origin)) : -1;
  storage::finish_int(ctx, n, r);
}

// filesize handle: the size; the position is left where it was.
void h_filesize(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t h = storage::stream_arg(ctx, n, 0);
  int64_t size = 0;
  if (storage::Stream* s = storage::open_stream(h)) {
    int64_t pos = s->position;
    size = storage::stream_seek(h, 0, 2);
    storage::stream_seek(h, pos, 0);
  }
  storage::finish_int(ctx, n, size < 0 ? 0 : size);
}

// --- whole files -------------------------------------------------------------------

// fileget name: the whole content (inflated when var_filegzip is on); the
// empty text when the name cannot be opened.
void h_fileget(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string data;
  storage::read_named(ctx, TextArg(ctx, arg(ctx, n, 0)).view(), data);
  storage::finish_text(ctx, n, data);
}

// fileput name text: creates (or empties) the file and writes the text.
void h_fileput(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  TextArg name(ctx, arg(ctx, n, 0)), text(ctx, arg(ctx, n, 1));
  if (uint32_t h = storage::stream_create(&ctx, name.view())) {
    storage::stream_write(h, text.view().data(), int64_t(text.view().size()));
    storage::stream_close(h);
  }
  pop_n(ctx, n);
}

// filesend name text, filesendln name text: adds the text (and CR LF) at
// the end of the file, creating it when missing.
void h_filesend(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  storage::send_text(ctx, TextArg(ctx, arg(ctx, n, 0)).view(), TextArg(ctx, arg(ctx, n, 1)).view(), false);
  pop_n(ctx, n);
}
void h_filesendln(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  storage::send_text(ctx, TextArg(ctx, arg(ctx, n, 0)).view(), TextArg(ctx, arg(ctx, n, 1)).view(), true);
  pop_n(ctx, n);
}

// fileexists name...: 1 when every name exists (0 without names).
void h_fileexists(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  bool all = n > 0;
  for (uint32_t i = 0; i < n && all; i++) all = storage::name_exists(&ctx, TextArg(ctx, ctx.top[i]).view());
  storage::finish_int(ctx, n, all ? 1 : 0);
}

// --- the file system -----------------------------------------------------------------

// filedelete name...: deletes disk files (never directories); 1 when every
// one was deleted.
void h_filedelete(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  bool all = n > 0;
  for (uint32_t i = 0; i < n; i++) {
    std::string path;
    struct stat st;
    bool ok = storage::disk_path(TextArg(ctx, ctx.top[i]).view(), path) && ::lstat(path.c_str(), &st) == 0 &&
              !S_ISDIR(st.st_mode) && ::unlink(path.c_str()) == 0;
    all = all && ok;
  }
  storage::finish_int(ctx, n, all ? 1 : 0);
}

// filerename old new: 1 when renamed. Note: an existing file of the new
// name is never replaced, as on the system the scripts were written for.
void h_filerename(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string from, to;
  bool ok = storage::disk_path(TextArg(ctx, arg(ctx, n, 0)).view(), from) &&
            storage::disk_path(TextArg(ctx, arg(ctx, n, 1)).view(), to);
  if (ok) {
    ok = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
    if (!ok && (errno == EINVAL || errno == ENOSYS)) {  // a file system without the flag
      struct stat st;
      ok = ::lstat(to.c_str(), &st) != 0 && errno == ENOENT && ::rename(from.c_str(), to.c_str()) == 0;
    }
  }
  storage::finish_int(ctx, n, ok ? 1 : 0);
}

// filecopy source destination: copies disk files; the last part of the
// source may hold the wildcards * and ? (case-insensitive). The destination
// is a directory (the files keep their names) or, for one file, a file
// name. Existing files are replaced. The number of files copied.
void h_filecopy(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string source, dest;
  int64_t copied = 0;
  if (storage::disk_path(TextArg(ctx, arg(ctx, n, 0)).view(), source) &&
      storage::disk_path(TextArg(ctx, arg(ctx, n, 1)).view(), dest)) {
    std::string_view pattern = storage::base_name(source);
    std::string dir = source.substr(0, source.size() - pattern.size());
    std::vector<std::string> names;
    if (!storage::has_wildcard(pattern)) {
      names.emplace_back(pattern);
    } else if (DIR* d = ::opendir(dir.empty() ? "." : dir.c_str())) {
      while (dirent* e = ::readdir(d)) {
        std::string_view name = e->d_name;
        if (name != "." && name != ".." && wildcard_match(pattern, name)) names.emplace_back(name);
      }
      ::closedir(d);
      std::sort(names.begin(), names.end());
    }
    bool into_dir = storage::is_directory(dest);
    if (into_dir || names.size() == 1) {
      for (const std::string& name : names) {
        std::string to = into_dir ? dest + (dest.back() == '/' ? "" : "/") + name : dest;
        if (storage::copy_file(dir + name, to)) copied++;
      }
    }
  }
  storage::finish_int(ctx, n, copied);
}

// filedate name, filetime name: the local date (YYYYMMDD) and time of day
// (HHMMSS) of the last change of a disk file; 0 when it does not exist.
template <typename Pack>
void file_change_field(Interp& ctx, Pack pack) {
  uint32_t n = close_frame(ctx);
  struct stat st;
  int64_t r = 0;
  if (storage::stat_disk(TextArg(ctx, arg(ctx, n, 0)).view(), st)) r = pack(storage::local_mtime(st));
  storage::finish_int(ctx, n, r);
}
void h_filedate(Interp& ctx) {
  file_change_field(ctx, [](const std::tm& tm) {
    return int64_t(tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
  });
}
void h_filetime(Interp& ctx) {
  file_change_field(ctx, [](const std::tm& tm) { return int64_t(tm.tm_hour) * 10000 + tm.tm_min * 100 + tm.tm_sec; });
}

// filesetdatetime name date [time]: sets the time of the last change to a
// local date YYYYMMDD and time HHMMSS (default 0); 1 when done, 0 for a
// missing file or a date or time out of range.
void h_filesetdatetime(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string path;
  int64_t date = storage::int_arg(ctx, n, 1), time = storage::int_arg(ctx, n, 2);
  std::tm tm{};
  tm.tm_year = int(date / 10000) - 1900;
  tm.tm_mon = int(date / 100 % 100) - 1;
  tm.tm_mday = int(date % 100);
  tm.tm_hour = int(time / 10000);
  tm.tm_min = int(time / 100 % 100);
  tm.tm_sec = int(time % 100);
  tm.tm_isdst = -1;
  bool ok = date >= 10101 && date <= 99991231 && time >= 0 && tm.tm_mon >= 0 && tm.tm_mon < 12 &&
            tm.tm_mday >= 1 && tm.tm_mday <= 31 && tm.tm_hour < 24 && tm.tm_min < 60 && tm.tm_sec < 60 &&
            storage::disk_path(TextArg(ctx, arg(ctx, n, 0)).view(), path);
  if (ok) {
    std::time_t t = std::mktime(&tm);
    struct timespec times[2] = {{0, UTIME_OMIT}, {t, 0}};
    ok = t != std::time_t(-1) && ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
  }
  storage::finish_int(ctx, n, ok ? 1 : 0);
}

// fileattrib name [attributes]: without attributes, the attribute bits of a
// disk file: 1 read-only (the owner may not write), 2 hidden (the name
// starts with "."), 16 directory, 32 any other file; 0 when it does not
// exist. With attributes, bit 1 makes the file read-only (no one may write)
// or writable by its owner; 1 when done.
void h_fileattrib(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string path;
  struct stat st;
  int64_t r = 0;
  if (storage::disk_path(TextArg(ctx, arg(ctx, n, 0)).view(), path) && ::stat(path.c_str(), &st) == 0) {
    if (n >= 2) {
      mode_t mode = st.st_mode & 07777;
      mode = (storage::int_arg(ctx, n, 1) & 1) ? mode & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH) : mode | S_IWUSR;
      r = ::chmod(path.c_str(), mode) == 0 ? 1 : 0;
    } else {
      r = S_ISDIR(st.st_mode) ? 16 : 32;
      if (!(st.st_mode & S_IWUSR)) r |= 1;
      std::string_view base = storage::base_name(path);
      if (!base.empty() && base[0] == '.' && base != "." && base != "..") r |= 2;
    }
  }
  storage::finish_int(ctx, n, r);
}

// fileshortname name: file names have no short form here; the name itself
// when the file exists, else the empty text.
void h_fileshortname(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  TextArg name(ctx, arg(ctx, n, 0));
  struct stat st;
  std::string r = storage::stat_disk(name.view(), st) ? name.str() : std::string();
  storage::finish_text(ctx, n, r);
}

// filebusy name: 1 when a disk file exists and someone holds a lock on it
// (a record lock of any process, this one included), else 0.
void h_filebusy(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string path;
  int64_t busy = 0;
  if (storage::disk_path(TextArg(ctx, arg(ctx, n, 0)).view(), path)) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
      struct flock lk{};
      lk.l_type = F_WRLCK;
      lk.l_whence = SEEK_SET;
      if (::fcntl(fd, F_OFD_GETLK, &lk) == 0 && lk.l_type != F_UNLCK) busy = 1;
      ::close(fd);
    }
  }
  storage::finish_int(ctx, n, busy);
}

}  // namespace vm
