// Helpers shared by the storage files: name prefixes and the pieces of the
// name resolution that live in different files. Not for other subsystems.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vm/ascii.h"
#include "vm/value.h"

namespace vm {
struct Interp;
}

namespace storage {

// Longest name copy kept by the openers (rest of a "mem:" or "resource:"
// name, the copy made by stream_open_read_gz, a gzip header's file name).
inline constexpr size_t kNameLimit = 1023;

using vm::ascii_lower;

inline std::string lower_copy(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

// Case-insensitive prefix test (prefixes are given in lower case).
inline bool has_prefix(std::string_view name, std::string_view prefix) {
  if (name.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); i++)
    if (ascii_lower(name[i]) != prefix[i]) return false;
  return true;
}

inline bool is_network_name(std::string_view name) {
  return has_prefix(name, "http:") || has_prefix(name, "https:") || has_prefix(name, "ftp:") ||
         has_prefix(name, "ftps:");
}

// A read-only stream over a "resource:" name, the prefix already removed.
uint32_t resource_open(std::string_view rest);

// Replaces the stream's source by the inflated content when it starts with
// a valid gzip member; otherwise positions it back at 0. True if inflated.
bool gzip_inflate_stream(uint32_t stream);

// A new FILEDATA element holding a copy of the bytes (one reference), or 0.
uint32_t filedata_new(const void* bytes, size_t size);

// Releases what a stream's source holds: closes a file descriptor of ours
// (3 and above) or drops the element reference.
void release_source(vm::Value source);

// Whether an open archive holds the member (name as given, "vk:" optional).
bool archive_has_member(std::string_view name);
void archive_register_cleanup();
// Forgets the open archives without releasing them (after element_free_all).
void archive_forget_all();

}  // namespace storage
