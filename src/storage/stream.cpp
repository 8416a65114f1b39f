// FILE streams and the resolution of names for reading, writing and
// updating.
//
// Linux notes: disk paths keep their case (only archive keys and "mem:"
// variable names are lower-cased), there is no sharing mode to ask for, and
// a directory never opens as a file. Descriptors are kept at 3 and above so
// that closing a stream can never close standard input or output.
#include "storage/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "storage/archive.h"
#include "storage/membuf.h"
#include "storage/names.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace storage {

using vm::Value;

namespace {

constexpr int64_t kMaxBlock = 0x7ffffff0;  // an element's largest payload

int64_t sat_add(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

vm::Interp* context_or_current(vm::Interp* ctx) { return ctx ? ctx : vm::interp_current; }

// A bare descriptor passed where a FILE handle may stand.
bool is_bare_descriptor(uint32_t handle) {
  return handle != 0 && (handle >> 30) != 1 && handle <= uint32_t(INT_MAX);
}

struct Bytes {
  uint8_t* data;
  int64_t size;
};

// The bytes behind a FILEDATA or MEMBUF source, as they are now.
bool memory_source(Value src, Bytes& b) {
  vm::ElementEntry* e = vm::element_entry(src);
  if (!e) return false;
  if (e->type == vm::kTypeFileData) {
    b = {static_cast<uint8_t*>(e->payload), e->size};
    return true;
  }
  if (e->type == vm::kTypeMemBuf) {
    auto* m = static_cast<MemBuf*>(e->payload);
    b = {m->data, m->data ? m->size : 0};
    return true;
  }
  return false;
}

// Reads or writes at `at`, or at the descriptor's own position when `at` < 0
// or the descriptor cannot seek (a pipe). Keeps going after short transfers.
template <typename Byte, typename Positioned, typename Plain>
int64_t fd_transfer(int fd, Byte* p, int64_t count, int64_t at, Positioned positioned, Plain plain) {
  int64_t done = 0;
  while (done < count) {
    size_t chunk = size_t(std::min<int64_t>(count - done, int64_t(1) << 30));
    ssize_t n = at >= 0 ? positioned(fd, p + done, chunk, off_t(at + done)) : plain(fd, p + done, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ESPIPE && at >= 0) {
      at = -1;
      continue;
    }
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t fd_read(int fd, void* out, int64_t count, int64_t at) {
  return fd_transfer(fd, static_cast<char*>(out), count, at, ::pread, ::read);
}

int64_t fd_write(int fd, const void* in, int64_t count, int64_t at) {
  return fd_transfer(fd, static_cast<const char*>(in), count, at, ::pwrite, ::write);
}

// Positions a stream's source (origin 0 or 2); its resulting position, or -1.
// Memory blocks have no position of their own: any target from 0 up is fine.
int64_t seek_source(const Stream* s, int64_t offset, int origin) {
  if (s->net_read || s->net_write) return -1;  // the network layer is not built
  Value src = s->source;
  Bytes b;
  if (memory_source(src, b)) {
    int64_t target = origin == 2 ? sat_add(b.size, offset) : offset;
    return target < 0 ? -1 : target;
  }
  if (vm::element_type_of(src) == vm::kTypeFile) return stream_seek(src.handle(), offset, origin);
  if (src.is_int()) {
    off_t r = ::lseek(int(src.as_int()), off_t(offset), origin == 2 ? SEEK_END : SEEK_SET);
    return r < 0 ? -1 : int64_t(r);
  }
  return -1;
}

void stream_cleanup(uint32_t, void* payload) {
  auto* s = static_cast<Stream*>(payload);
  Value src = s->source, name = s->name;
  s->source = Value::from_int(0);
  s->name = Value::null();
  release_source(src);
  vm::value_release(name);
}

// Opens a disk path; -1 on failure. Only regular files are opened: a
// device, FIFO, socket or directory is refused, since reading one could
// block the player for ever (a FIFO without a writer) or never end
// (/dev/zero). Such a name is refused before it is opened when it can be,
// and the open itself never waits (O_NONBLOCK, cleared again for the
// regular file), so that a name replaced by a FIFO meanwhile cannot block.
int open_descriptor(std::string_view path, int flags) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return -1;
  std::string p(path);
  struct stat st;
  if (::stat(p.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return -1;
  int fd = ::open(p.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) return -1;
  if (fd < 3) {
    int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    if (high < 0) return -1;
    fd = high;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// What is left of a stream by the size it knows, or the size the system
// reports for its file; -1 when neither is known (a file of /proc reports
// 0 bytes, whatever it holds).
int64_t known_remaining(const Stream* s) {
  if (s->size >= 0) return std::max<int64_t>(0, s->size - s->position);
  struct stat st;
  if (!s->source.is_int() || ::fstat(int(s->source.as_int()), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size <= 0)
    return -1;
  return std::max<int64_t>(0, int64_t(st.st_size) - sat_add(s->base, s->position));
}

uint32_t stream_on_descriptor(int fd, bool can_read, bool can_write) {
  if (fd < 0) return 0;
  uint32_t h = stream_new(Value::from_int(fd), can_read, can_write);
  if (!h) ::close(fd);
  return h;
}

std::string_view without_disk(std::string_view name) {
  return has_prefix(name, "disk:") ? name.substr(5) : name;
}

// The MEMBUF held by the variable named by the rest of a "mem:" name
// (lower-cased, at most 1023 characters), or 0.
uint32_t membuf_named(vm::Interp* ctx, std::string_view rest) {
  ctx = context_or_current(ctx);
  if (!ctx) return 0;
  uint32_t name = vm::text_intern(lower_copy(rest.substr(0, kNameLimit)));
  Value* cell = vm::var_find(*ctx, Value::from_handle(name));
  uint32_t found = cell && membuf_of(*cell) ? cell->handle() : 0;
  vm::element_release(name);
  return found;
}

uint32_t mem_stream(vm::Interp* ctx, std::string_view rest, bool can_read, bool can_write) {
  uint32_t buffer = membuf_named(ctx, rest);
  if (!buffer) return 0;
  uint32_t h = stream_new(Value::from_handle(buffer), can_read, can_write);
  if (Stream* s = stream_of(h)) s->size = membuf_of(s->source)->size;
  return h;
}

// Reading resolution. `name` selects the source; `key` is the form looked
// up in the archives (the lower-cased copy when called by the gzip opener).
// Note: a "disk:" name skips the archives, so that it always reaches the
// disk even when some archive holds a member spelled "disk:...".
NetworkReader g_network_reader = nullptr;

// A read-only stream over the whole content of a network name, or 0.
uint32_t network_stream(vm::Interp* ctx, std::string_view name) {
  std::string data;
  if (!g_network_reader || !g_network_reader(context_or_current(ctx), name, data)) return 0;
  uint32_t block = filedata_new(data.data(), data.size());
  if (!block) return 0;
  uint32_t h = stream_new(Value::from_handle(block), true, false);
  vm::element_release(block);
  if (Stream* s = stream_of(h)) s->size = int64_t(data.size());
  return h;
}

uint32_t open_read(vm::Interp* ctx, std::string_view name, std::string_view key) {
  if (name.empty()) return 0;
  if (is_network_name(name)) return network_stream(ctx, name);  // never the disk
  if (has_prefix(name, "mem:")) return mem_stream(ctx, name.substr(4), true, false);
  if (!has_prefix(name, "disk:"))
    if (uint32_t h = archive_find_member(key, true, false)) return h;
  if (has_prefix(name, "vk:")) return 0;
  if (has_prefix(name, "resource:")) return resource_open(name.substr(9));
  return stream_on_descriptor(open_descriptor(without_disk(name), O_RDONLY), true, false);
}

}  // namespace

void release_source(Value source) {
  if (source.is_int()) {
    int64_t fd = source.as_int();
    if (fd > 2 && fd <= INT_MAX) ::close(int(fd));
    return;
  }
  vm::value_release(source);
}

uint32_t filedata_new(const void* bytes, size_t size) {
  if (size > size_t(kMaxBlock)) return 0;
  uint32_t h = vm::element_create(bytes, size, vm::kTypeFileData);
  return vm::element_entry(h) ? h : 0;
}

Stream* stream_of(uint32_t handle) {
  return static_cast<Stream*>(vm::element_lookup(handle, vm::kTypeFile));
}

uint32_t stream_new(Value source, bool can_read, bool can_write, bool net_read, bool net_write) {
  if (source.bits == 0 || source.is_null()) return 0;
  uint32_t h = vm::element_create(nullptr, sizeof(Stream), vm::kTypeFile);
  Stream* s = stream_of(h);
  if (!s) return 0;
  vm::value_ref(source);
  s->source = source;
  s->base = 0;
  s->position = 0;
  s->size = -1;
  s->can_read = can_read;
  s->can_write = can_write;
  s->inflated = 0;
  s->net_read = net_read;
  s->net_write = net_write;
  s->name = Value::null();
  return h;
}

int64_t stream_read(uint32_t handle, void* buffer, int64_t count) {
  if (count <= 0 || !buffer) return 0;
  Stream* s = stream_of(handle);
  if (!s) return is_bare_descriptor(handle) ? fd_read(int(handle), buffer, count, -1) : 0;
  if (!s->can_read || s->net_read) return 0;
  int64_t pos = s->position;
  if (pos < 0) return 0;
  if (s->size >= 0) {
    if (pos >= s->size) return 0;
    count = std::min(count, s->size - pos);
  }
  int64_t at = sat_add(s->base, pos);
  Value src = s->source;
  int64_t got = 0;
  Bytes b;
  if (memory_source(src, b)) {
    if (at < b.size) {
      got = std::min(count, b.size - at);
      std::memcpy(buffer, b.data + at, size_t(got));
    }
  } else if (vm::element_type_of(src) == vm::kTypeFile) {
    if (stream_seek(src.handle(), at, 0) == at) got = stream_read(src.handle(), buffer, count);
  } else if (src.is_int()) {
    got = fd_read(int(src.as_int()), buffer, count, at);
  }
  if (got <= 0) return 0;
  s->position = pos + got;
  if (s->size >= 0 && s->position > s->size) s->size = s->position;
  return got;
}

int64_t stream_write(uint32_t handle, const void* buffer, int64_t count) {
  if (count <= 0 || !buffer) return 0;
  Stream* s = stream_of(handle);
  if (!s) return is_bare_descriptor(handle) ? fd_write(int(handle), buffer, count, -1) : 0;
  if (!s->can_write || s->net_write) return 0;
  int64_t pos = s->position;
  if (pos < 0) return 0;
  int64_t at = sat_add(s->base, pos);
  Value src = s->source;
  int64_t put = 0;
  uint32_t type = vm::element_type_of(src);
  if (type == vm::kTypeFileData) {
    if (at > kMaxBlock || count > kMaxBlock - at) return 0;
    vm::ElementEntry* e = vm::element_entry(src);
    if (at + count > e->size && !vm::element_resize(src.handle(), size_t(at + count))) return 0;
    e = vm::element_entry(src);
    std::memcpy(static_cast<uint8_t*>(e->payload) + at, buffer, size_t(count));
    put = count;
  } else if (type == vm::kTypeMemBuf) {
    constexpr int64_t kLimit = (int64_t(1) << 31) - 1;
    if (at > kLimit || count > kLimit - at) return 0;
    MemBuf* m = membuf_of(src);
    if (at + count > m->size && !membuf_resize(src.handle(), at + count)) return 0;
    m = membuf_of(src);
    std::memcpy(m->data + at, buffer, size_t(count));
    put = count;
  } else if (type == vm::kTypeFile) {
    if (stream_seek(src.handle(), at, 0) == at) put = stream_write(src.handle(), buffer, count);
  } else if (src.is_int()) {
    put = fd_write(int(src.as_int()), buffer, count, at);
  }
  if (put <= 0) return 0;
  s->position = pos + put;
  if (s->size >= 0 && s->position > s->size) s->size = s->position;
  return put;
}

int64_t stream_seek(uint32_t handle, int64_t offset, int origin) {
  if (origin < 0 || origin > 2) return -1;
  Stream* s = stream_of(handle);
  if (!s) {
    if (!is_bare_descriptor(handle)) return -1;
    off_t r = ::lseek(int(handle), off_t(offset), origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END);
    return r < 0 ? -1 : int64_t(r);
  }
  bool source_is_stream = vm::element_type_of(s->source) == vm::kTypeFile;
  if (origin == 0 && offset == s->position && !s->net_read && !s->net_write && !source_is_stream)
    return s->position;
  if (origin == 1) {
    offset = sat_add(offset, s->position);
    origin = 0;
  }
  if (s->size >= 0) {
    int64_t target = origin == 2 ? sat_add(offset, s->size) : offset;
    target = std::clamp<int64_t>(target, 0, s->size);
    int64_t r = seek_source(s, sat_add(s->base, target), 0);
    if (r < 0) return -1;
    s->position = r - s->base;
    return s->position;
  }
  int64_t r = origin == 0 ? seek_source(s, sat_add(s->base, offset), 0) : seek_source(s, offset, 2);
  if (r < 0) return -1;
  s->position = r - s->base;
  if (origin == 2 && offset == 0) s->size = s->position;  // the end is learnt
  return s->position;
}

bool stream_close(uint32_t handle) {
  if (stream_of(handle)) {
    vm::element_release(handle);
  } else if (is_bare_descriptor(handle) && handle > 2) {
    ::close(int(handle));
  }
  return true;
}

bool stream_read_rest(uint32_t stream, std::string& out, int64_t limit) {
  constexpr int64_t kBlock = 24576;
  out.clear();
  const Stream* s = stream_of(stream);
  if (!s) return true;
  int64_t known = known_remaining(s);
  if (known > limit) return false;
  // Reading on past the cap tells a content of exactly the cap from a
  // longer one (a file that grew since its size was read). Every read asks
  // for a whole block: some files of /proc refuse odd counts.
  int64_t cap = known >= 0 ? limit : std::min(limit, kUnknownSizeLimit);
  while (int64_t(out.size()) <= cap) {
    size_t at = out.size();
    out.resize(at + size_t(kBlock));
    int64_t got = stream_read(stream, out.data() + at, kBlock);
    out.resize(at + size_t(got > 0 ? got : 0));
    if (got <= 0) return true;
  }
  out.clear();
  return false;
}

uint32_t stream_open_read(vm::Interp* ctx, std::string_view name) { return open_read(ctx, name, name); }

uint32_t stream_open_read_gz(vm::Interp* ctx, std::string_view name) {
  ctx = context_or_current(ctx);
  std::string copy(name.substr(0, kNameLimit));
  std::string key = is_network_name(copy) ? copy : lower_copy(copy);
  uint32_t h = open_read(ctx, copy, key);
  if (!h) return 0;
  int64_t gzip_on = ctx ? vm::sysvar_int(*ctx, vm::SV_var_filegzip) : vm::kSysVars[vm::SV_var_filegzip].default_int;
  if (gzip_on != 0) gzip_inflate_stream(h);
  return h;
}

uint32_t stream_create(vm::Interp* ctx, std::string_view name) {
  if (name.empty() || is_network_name(name)) return 0;
  if (has_prefix(name, "mem:")) return mem_stream(ctx, name.substr(4), false, true);
  return stream_on_descriptor(open_descriptor(without_disk(name), O_WRONLY | O_CREAT | O_TRUNC), false,
                              true);
}

// Note: a "vk:" name that no archive holds fails here too instead of
// trying a disk file whose name starts with "vk:".
uint32_t stream_open_update(vm::Interp* ctx, std::string_view name) {
  if (name.empty() || is_network_name(name)) return 0;
  if (has_prefix(name, "mem:")) return mem_stream(ctx, name.substr(4), true, true);
  if (!has_prefix(name, "disk:"))
    if (uint32_t h = archive_find_member(name, true, true)) return h;
  if (has_prefix(name, "vk:")) return 0;
  return stream_on_descriptor(open_descriptor(without_disk(name), O_RDWR), true, true);
}

bool name_exists(vm::Interp* ctx, std::string_view name) {
  if (name.empty() || is_network_name(name)) return false;
  if (has_prefix(name, "mem:")) return membuf_named(ctx, name.substr(4)) != 0;
  if (!has_prefix(name, "disk:") && archive_has_member(name)) return true;
  if (has_prefix(name, "vk:")) return false;
  std::string_view path = without_disk(name);
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  struct stat st;
  return ::stat(std::string(path).c_str(), &st) == 0;
}

void set_network_reader(NetworkReader reader) { g_network_reader = reader; }

void storage_init() {
  vm::element_set_cleanup(vm::kTypeFile, stream_cleanup);
  membuf_register_cleanup();
  archive_register_cleanup();
  archive_forget_all();
}

}  // namespace storage
