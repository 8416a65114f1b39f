// Finding the archive bound to an executable (no virtual machine needed, so
// the archive tool links this file alone).
#include "storage/bound_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/bytes.h"

namespace storage {
namespace {

bool read_at(int fd, void* out, size_t count, off_t at) {
  auto* p = static_cast<char*>(out);
  while (count > 0) {
    ssize_t n = ::pread(fd, p, count, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= size_t(n);
    at += n;
  }
  return true;
}

}  // namespace

bool bound_archive_extent(int fd, int64_t& start, int64_t& length) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < int64_t(kBindTrailerSize)) return false;
  uint8_t trailer[kBindTrailerSize];
  if (!read_at(fd, trailer, sizeof trailer, st.st_size - off_t(kBindTrailerSize))) return false;
  if (std::memcmp(trailer, kBindMagic, sizeof kBindMagic) != 0) return false;
  const uint64_t n = base::load_le64(trailer + sizeof kBindMagic);
  uint64_t room = uint64_t(st.st_size) - kBindTrailerSize;
  if (n > room) return false;
  start = int64_t(room - n);
  length = int64_t(n);
  return true;
}

bool read_bound_archive(const std::string& executable, std::string& archive, std::string* problem) {
  if (executable.find('\0') != std::string::npos) return false;
  int fd = ::open(executable.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not block
  if (fd < 0) return false;
  int64_t start = 0, length = 0;
  bool ok = bound_archive_extent(fd, start, length);
  if (!ok && problem) {
    // A trailer whose length does not fit: the program was cut short.
    struct stat st;
    uint8_t trailer[kBindTrailerSize];
    if (::fstat(fd, &st) == 0 && st.st_size >= int64_t(kBindTrailerSize) &&
        read_at(fd, trailer, sizeof trailer, st.st_size - off_t(kBindTrailerSize)) &&
        std::memcmp(trailer, kBindMagic, sizeof kBindMagic) == 0)
      *problem = "its bound archive is cut short (the trailer gives a length past the file's start)";
  }
  if (ok && length > kMaxBoundArchive) {
    ok = false;
    if (problem) *problem = "its bound archive is too large";
  }
  if (ok) {
    archive.resize(size_t(length));
    ok = read_at(fd, archive.data(), size_t(length), off_t(start));
    if (!ok && problem) *problem = "its bound archive cannot be read";
  }
  ::close(fd);
  if (!ok) archive.clear();
  return ok;
}

}  // namespace storage
