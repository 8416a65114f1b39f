// Fixed-width integers in byte order, and a reader over a byte span that
// never runs past its end. Every file format of the player (fonts, pictures,
// metafiles, compiled scripts, archives) reads and writes through these.
//
// The load and store helpers take a pointer the caller has already checked;
// they are for loops whose bounds are established once. ByteReader is for
// headers and blocks: a read past the end returns 0 and sets a sticky
// failure flag, so a header is read field by field and checked once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace base {

// --- loads and stores -----------------------------------------------------------

inline uint16_t load_le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t load_le64(const uint8_t* p) { return uint64_t(load_le32(p)) | uint64_t(load_le32(p + 4)) << 32; }
inline int16_t load_le16s(const uint8_t* p) { return int16_t(load_le16(p)); }
inline int32_t load_le32s(const uint8_t* p) { return int32_t(load_le32(p)); }
inline uint16_t load_be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t load_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline void store_le16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void store_le32(uint8_t* p, uint32_t v) {
  store_le16(p, uint16_t(v));
  store_le16(p + 2, uint16_t(v >> 16));
}
inline void store_le64(uint8_t* p, uint64_t v) {
  store_le32(p, uint32_t(v));
  store_le32(p + 4, uint32_t(v >> 32));
}

// Appends to a byte container (std::vector<uint8_t> or std::string).
template <class Bytes>
void append_le16(Bytes& out, uint16_t v) {
  using B = typename Bytes::value_type;
  out.push_back(B(v & 0xFF));
  out.push_back(B(v >> 8));
}
template <class Bytes>
void append_le32(Bytes& out, uint32_t v) {
  append_le16(out, uint16_t(v));
  append_le16(out, uint16_t(v >> 16));
}
template <class Bytes>
void append_le64(Bytes& out, uint64_t v) {
  append_le32(out, uint32_t(v));
  append_le32(out, uint32_t(v >> 32));
}

// --- the bounded reader -----------------------------------------------------------

class ByteReader {
 public:
  ByteReader() = default;
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  explicit ByteReader(std::span<const uint8_t> bytes) : data_(bytes.data()), size_(bytes.size()) {}

  size_t size() const { return size_; }
  size_t position() const { return pos_; }
  size_t remaining() const { return size_ - pos_; }
  // True once any read, skip or take has asked for more than was left.
  bool failed() const { return failed_; }
  bool ok() const { return !failed_; }
  // The bytes from the position on (the end once failed).
  const uint8_t* here() const { return data_ + pos_; }

  uint8_t u8() {
    if (pos_ >= size_) return fail(), 0;
    return data_[pos_++];
  }
  // The next byte into `v` for readers of a stream of unknown length; false
  // at the end, which is not a failure.
  bool next(uint8_t& v) {
    if (pos_ >= size_) return false;
    v = data_[pos_++];
    return true;
  }
  uint16_t u16() { return load(2) ? load_le16(data_ + pos_ - 2) : 0; }
  uint32_t u32() { return load(4) ? load_le32(data_ + pos_ - 4) : 0; }
  uint64_t u64() { return load(8) ? load_le64(data_ + pos_ - 8) : 0; }
  int16_t i16() { return int16_t(u16()); }
  int32_t i32() { return int32_t(u32()); }
  uint16_t u16be() { return load(2) ? load_be16(data_ + pos_ - 2) : 0; }
  uint32_t u32be() { return load(4) ? load_be32(data_ + pos_ - 4) : 0; }

  // The next n bytes, or nullptr (and failed, at the end) when fewer are left.
  const uint8_t* take(size_t n) { return load(n) ? data_ + pos_ - n : nullptr; }
  // Skips n bytes; false (failed, at the end) when fewer are left.
  bool skip(size_t n) { return load(n); }
  // A reader over the next n bytes, which this one passes; an empty, failed
  // reader when fewer are left.
  ByteReader sub(size_t n) {
    const uint8_t* p = take(n);
    if (!p) {
      ByteReader r;
      r.failed_ = true;
      return r;
    }
    return ByteReader(p, n);
  }
  // Moves to an absolute position; false (failed, at the end) beyond the end.
  bool seek(size_t to) {
    if (to > size_) return fail(), false;
    pos_ = to;
    return true;
  }

 private:
  bool load(size_t n) {
    if (n > size_ - pos_) return fail(), false;
    pos_ += n;
    return true;
  }
  void fail() {
    failed_ = true;
    pos_ = size_;
  }

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
  bool failed_ = false;
};

}  // namespace base
