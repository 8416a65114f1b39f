// Byte streams over named resources: disk files, archive members, memory
// buffers, resource copies and inflated gzip data, all behind one FILE
// element that reads, writes and seeks the same way.
//
// Names carry prefixes, compared case-insensitively: "disk:", "resource:",
// "mem:", "vk:", and "http:", "https:", "ftp:", "ftps:" (network names,
// which never fall through to the disk).
#pragma once

#include <cstdint>
#include <type_traits>
#include <string>
#include <string_view>

#include "vm/value.h"

namespace vm {
struct Interp;
}

namespace storage {

// The record of a FILE element (type 16).
struct Stream {
  vm::Value source;   // an integer file descriptor, or a FILEDATA, MEMBUF or FILE handle
  int64_t base;       // offset in the source of this stream's byte 0
  int64_t position;   // relative to base
  int64_t size;       // -1: unknown
  uint8_t can_read;
  uint8_t can_write;
  uint8_t inflated;   // the content came from gzip inflation
  uint8_t net_read;
  uint8_t net_write;
  vm::Value name;     // null, or the file name from a gzip header
};
// The record is made by clearing bytes (element_create).
static_assert(std::is_trivially_copyable_v<Stream>);

// A new stream over `source`, taking a reference of its own to an element
// source (an integer source is a file descriptor the stream now owns); 0
// when the source is 0/null or the element cannot be made. Base 0, position
// 0, size -1, name null.
uint32_t stream_new(vm::Value source, bool can_read, bool can_write, bool net_read = false,
                    bool net_write = false);

// The context gives "mem:" names their variables and var_filegzip its value;
// null means the running context (vm::interp_current), if any. Each returns
// a FILE handle (one reference, the caller's) or 0.
//
// stream_open_read resolves a name as given: network names are read whole
// by the network reader (below) into a read-only memory stream, "mem:"
// buffers, archive members (with or without "vk:"), "resource:", then the
// disk (less "disk:"). stream_open_read_gz is the normal opener: it looks
// archive members up by the lower-cased name, opens disk paths with their
// case kept, and inflates a gzip member when var_filegzip is on (a member
// that is corrupt, truncated or fails its CRC-32/length check is returned
// raw, at position 0). Disk names open regular files only: devices, FIFOs,
// sockets and directories are refused as if missing.
uint32_t stream_open_read(vm::Interp* ctx, std::string_view name);
uint32_t stream_open_read_gz(vm::Interp* ctx, std::string_view name);
uint32_t stream_create(vm::Interp* ctx, std::string_view name);
uint32_t stream_open_update(vm::Interp* ctx, std::string_view name);

// `stream` is a FILE handle or a bare file descriptor. A stream with a known
// size never reads past it; memory sources are bounded by their current
// byte count as well.
int64_t stream_read(uint32_t stream, void* buffer, int64_t count);
int64_t stream_write(uint32_t stream, const void* buffer, int64_t count);
// Reads what is left of a stream into `out`, in blocks of 24576 bytes.
// True when that is the whole content; false, with `out` emptied, when the
// content is longer than `limit` bytes, so that a part is never taken for
// the whole. A stream whose size neither it nor the system knows (the files
// of /proc report none) is read to at most kUnknownSizeLimit bytes. An
// invalid handle reads as empty.
bool stream_read_rest(uint32_t stream, std::string& out, int64_t limit);
inline constexpr int64_t kUnknownSizeLimit = int64_t(64) << 20;

// Origin 0 from the start, 1 from the current position, 2 from the end.
// With a known size the target is clamped to [0, size]. Returns the new
// position, or -1 (position unchanged) for a bad origin or a source error.
int64_t stream_seek(uint32_t stream, int64_t offset, int origin);
// Drops one reference of the FILE element, or closes a bare descriptor
// (never 0, 1 or 2).
bool stream_close(uint32_t stream);
Stream* stream_of(uint32_t handle);

bool name_exists(vm::Interp* ctx, std::string_view name);

// Reads the whole content a network name names into `out`; false when it
// cannot. The network family registers it; without one, network names do
// not open. They are never written nor updated.
using NetworkReader = bool (*)(vm::Interp* ctx, std::string_view name, std::string& out);
void set_network_reader(NetworkReader reader);

// The archive that "resource:" (empty file part) names: the archive bound to
// the running executable when there is one, else the player's built-in one.
// The bytes must outlive every stream opened on them.
void set_own_archive(const uint8_t* data, size_t size);
// The player's built-in archive. A member that a bound program's own archive
// lacks ("resource::default.vkf") is looked for there next.
void set_builtin_archive(const uint8_t* data, size_t size);

// Largest inflated gzip content accepted; a larger member is returned raw.
inline constexpr int64_t kMaxInflatedSize = int64_t(1) << 30;

// Registers the FILE, VK and MEMBUF clean-ups and starts with no archive
// open. Call after host::engine_init(), and again after vm::element_free_all().
void storage_init();

}  // namespace storage
