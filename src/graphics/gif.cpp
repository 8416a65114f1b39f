// The GIF codec: the reader (blocks, the LZW decoder, de-interlacing), the
// frame-to-image helper, and the writer (palette reduction, median cut for
// direct-colour images, the hashed LZW encoder).
#include "graphics/gif.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "base/bytes.h"
#include "vm/element.h"

namespace gfx::gif {

namespace {

constexpr int kMaxCodes = 4096;  // LZW codes are at most 12 bits wide
constexpr int kMaxCodeBits = 12;

// The bytes that introduce the blocks of the data stream, and the label of
// the one extension read here.
constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageSeparator = 0x2C;
constexpr uint8_t kTrailer = 0x3B;
constexpr uint8_t kGraphicControlLabel = 0xF9;

using Input = base::ByteReader;

// Skips data sub-blocks up to and including the zero-length one; false when
// the data ends first.
bool skip_blocks(Input& in) {
  for (uint8_t len;;) {
    if (!in.next(len)) return false;
    if (len == 0) return true;
    if (!in.skip(len)) return false;
  }
}

// A colour table of `count` entries of red, green, blue; empty when the
// data ends first.
bool read_table(Input& in, int count, std::vector<uint32_t>& out) {
  const uint8_t* p = in.take(size_t(count) * 3);
  if (!p) return false;
  out.resize(size_t(count));
  for (int i = 0; i < count; i++, p += 3) out[size_t(i)] = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
  return true;
}

// The codes of an image's data sub-blocks, least significant bit first.
// The sub-blocks are first gathered into one buffer, up to the zero-length
// block or the end of the data, so that a code is one unaligned load, a
// shift and a mask.
class CodeReader {
 public:
  explicit CodeReader(Input& in) {
    for (uint8_t len;;) {
      if (!in.next(len)) {
        truncated_ = true;
        break;
      }
      if (len == 0) break;
      // A short last block still gives the bytes that are there.
      const size_t n = std::min<size_t>(len, in.remaining());
      const uint8_t* p = in.take(n);
      data_.insert(data_.end(), p, p + n);
      if (n < len) {
        truncated_ = true;
        break;
      }
    }
    bits_ = uint64_t(data_.size()) * 8;
    data_.resize(data_.size() + 8, 0);  // the loads read eight bytes
  }
  // The next code of `width` bits, or -1 at the end of the data.
  int32_t next(int width) {
    if (pos_ + uint64_t(width) > bits_) return -1;
    uint64_t v;
    std::memcpy(&v, data_.data() + (pos_ >> 3), 8);
    pos_ += uint64_t(width);
    return int32_t((v >> ((pos_ - uint64_t(width)) & 7)) & ((1u << width) - 1));
  }
  // Whether the data ended before the zero-length block.
  bool truncated() const { return truncated_; }

 private:
  std::vector<uint8_t> data_;
  uint64_t bits_ = 0, pos_ = 0;
  bool truncated_ = false;
};

// Output slack past the last pixel: strings of up to 16 pixels are copied
// as whole 16-byte blocks.
constexpr size_t kSlack = 16;

// Copies a string of `len` pixels that lies wholly before `to`; up to 15
// bytes past the string are overwritten, which the caller's slack allows.
// A block is read whole before it is written: the ranges of a block may
// overlap, but the bytes of the string in it lie before `to`, untouched by
// the earlier blocks' writes.
inline void copy_string(uint8_t* to, const uint8_t* from, size_t len) {
  for (size_t k = 0; k < len; k += 16) {
    uint8_t block[16];
    std::memcpy(block, from + k, 16);
    std::memcpy(to + k, block, 16);
  }
}

// Decodes the LZW data of one frame into `out`, `total` pixels in file
// order with kSlack bytes after them; `done` is how many were decoded.
// Every string but a single root pixel is a string already decoded: the
// table keeps where it starts in the output and its length, so a code is
// one copy, with no walk along prefixes and no stack. Returns the fault
// that ended it early, or nullptr when every pixel was decoded.
const char* decode_lzw(CodeReader& codes, int min_size, uint8_t* out, size_t total, size_t& done) {
  const int32_t clear = 1 << min_size, end = clear + 1;
  std::array<uint32_t, kMaxCodes> start;
  std::array<uint16_t, kMaxCodes> length;
  int32_t next = clear + 2, width = min_size + 1;
  size_t pos = 0, prev_len = 0;  // prev_len 0: no previous code since a clear
  const char* fault = nullptr;
  while (pos < total) {
    const int32_t code = codes.next(width);
    if (code < 0) {
      fault = codes.truncated() ? "data ends early" : "image data without end code";
      break;
    }
    if (code == clear) {
      next = clear + 2;
      width = min_size + 1;
      prev_len = 0;
      continue;
    }
    if (code == end) {
      fault = "image data ends before the last pixel";
      break;
    }
    size_t len;
    if (code < clear) {
      out[pos] = uint8_t(code);
      len = 1;
    } else if (prev_len == 0) {
      // After a clear code only the single-pixel codes exist.
      fault = "code not in the table";
      break;
    } else if (code < next) {
      len = length[size_t(code)];
      if (len > total - pos) {
        std::memcpy(out + pos, out + start[size_t(code)], total - pos);
        pos = total;
        break;
      }
      copy_string(out + pos, out + start[size_t(code)], len);
    } else if (code == next && next < kMaxCodes) {
      // The previous string, which ends here, and its own first pixel.
      len = prev_len + 1;
      const uint8_t* prev = out + pos - prev_len;
      if (len > total - pos) {
        std::memcpy(out + pos, prev, total - pos);
        pos = total;
        break;
      }
      copy_string(out + pos, prev, prev_len);
      out[pos + prev_len] = prev[0];
    } else {
      fault = "code not in the table";
      break;
    }
    // The new entry: the previous string and the first pixel of this one,
    // which lie side by side in the output.
    if (prev_len != 0 && next < kMaxCodes) {
      start[size_t(next)] = uint32_t(pos - prev_len);
      length[size_t(next)] = uint16_t(prev_len + 1);
      if (++next == 1 << width && width < kMaxCodeBits) width++;
    }
    pos += len;
    prev_len = len;
  }
  done = pos;
  return fault;
}

uint64_t delay_time(int32_t hundredths) {
  if (hundredths < 0) return 0;
  if (hundredths <= 1) return kMinimumDelay;
  return (uint64_t(hundredths) << 32) / 100;
}

void note(Picture& pic, const char* what) {
  if (pic.error.empty()) pic.error = what;
}

}  // namespace

bool is_gif(const uint8_t* data, size_t size) {
  return size >= 6 && (std::memcmp(data, "GIF87a", 6) == 0 || std::memcmp(data, "GIF89a", 6) == 0);
}

Picture read(const uint8_t* data, size_t size, int64_t max_total_pixels) {
  Picture pic;
  if (!is_gif(data, size)) {
    pic.error = "not a GIF file";
    return pic;
  }
  Input in(data, size);
  in.skip(6);
  const uint8_t* screen = in.take(7);
  if (!screen) {
    pic.error = "data ends early";
    return pic;
  }
  pic.screen_width = base::load_le16(screen);
  pic.screen_height = base::load_le16(screen + 2);
  pic.background = screen[5];
  if ((screen[4] & 0x80) && !read_table(in, 2 << (screen[4] & 7), pic.global_palette)) {
    pic.error = "data ends early";
    return pic;
  }

  // The values of the last graphic control extension, for the next image.
  int32_t transparent = -1, delay_cs = -1, disposal = 0;
  bool user_input = false;
  int64_t total_pixels = 0;
  for (;;) {
    uint8_t intro;
    if (!in.next(intro)) {
      note(pic, "data ends early");
      break;
    }
    if (intro == kTrailer) break;
    if (intro == kExtensionIntroducer) {
      uint8_t label, len;
      if (!in.next(label)) {
        note(pic, "data ends early");
        break;
      }
      if (label == kGraphicControlLabel) {
        if (!in.next(len)) {
          note(pic, "data ends early");
          break;
        }
        const uint8_t* gce = len >= 4 ? in.take(4) : nullptr;
        if (gce) {
          user_input = gce[0] & 2;
          disposal = gce[0] >> 2 & 7;
          delay_cs = base::load_le16(gce + 1);
          transparent = (gce[0] & 1) ? gce[3] : -1;
        }
        if (len != 0 && !in.skip(len >= 4 ? size_t(len) - 4 : len)) {
          note(pic, "data ends early");
          break;
        }
        if (len == 0) continue;  // the zero-length block already ended it
      }
      if (!skip_blocks(in)) {
        note(pic, "data ends early");
        break;
      }
      continue;
    }
    if (intro != kImageSeparator) continue;  // not a block introducer: skipped

    Frame f;
    const uint8_t* d = in.take(9);
    if (!d) {
      note(pic, "data ends early");
      break;
    }
    f.left = base::load_le16(d);
    f.top = base::load_le16(d + 2);
    f.width = base::load_le16(d + 4);
    f.height = base::load_le16(d + 6);
    f.interlaced = d[8] & 0x40;
    if (d[8] & 0x80) {
      if (!read_table(in, 2 << (d[8] & 7), f.palette)) {
        note(pic, "data ends early");
        break;
      }
    } else {
      f.palette = pic.global_palette;
    }
    f.transparent = transparent;
    f.delay_cs = delay_cs;
    f.delay = delay_time(delay_cs);
    f.disposal = disposal;
    f.user_input = user_input;
    transparent = delay_cs = -1;
    disposal = 0;
    user_input = false;

    uint8_t min_size;
    if (!in.next(min_size)) {
      note(pic, "data ends early");
      break;
    }
    const int64_t pixels = int64_t(f.width) * f.height;
    const char* refused = nullptr;
    if (pixels == 0)
      refused = "frame of zero size";
    else if (f.width > kMaxSide || f.height > kMaxSide || pixels > kMaxPixels)
      refused = "frame too large";
    else if (min_size < 2 || min_size > 8)
      refused = "bad minimum code size";
    if (refused) {
      note(pic, refused);
      if (!skip_blocks(in)) {
        note(pic, "data ends early");
        break;
      }
      continue;
    }
    if (pixels > max_total_pixels - total_pixels) {
      note(pic, "frames too large together");
      break;
    }
    total_pixels += pixels;

    // Pixels that the data leaves out show through where they can.
    const uint8_t fill = f.transparent >= 0 ? uint8_t(f.transparent) : uint8_t(0);
    CodeReader codes(in);
    size_t done = 0;
    const char* fault = nullptr;
    if (!f.interlaced) {
      f.indices.assign(size_t(pixels) + kSlack, fill);
      fault = decode_lzw(codes, min_size, f.indices.data(), size_t(pixels), done);
      std::fill(f.indices.begin() + int64_t(done), f.indices.end(), fill);  // past the last string copied
      f.indices.resize(size_t(pixels));
    } else {
      // Decoded in file order, then the rows of the four passes put in
      // their places: every 8th row from 0, every 8th from 4, every 4th
      // from 2, every 2nd from 1.
      std::vector<uint8_t> file_order(size_t(pixels) + kSlack);
      fault = decode_lzw(codes, min_size, file_order.data(), size_t(pixels), done);
      f.indices.assign(size_t(pixels), fill);
      static constexpr int32_t kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
      const size_t w = size_t(f.width);
      size_t at = 0;
      for (int pass = 0; pass < 4; pass++)
        for (int32_t y = kStart[pass]; y < f.height && at < done; y += kStep[pass], at += w)
          std::memcpy(f.indices.data() + size_t(y) * w, file_order.data() + at, std::min(w, done - at));
    }
    f.complete = fault == nullptr;
    if (fault) note(pic, fault);
    const bool more = !codes.truncated();
    pic.frames.push_back(std::move(f));
    if (!more) {
      note(pic, "data ends early");
      break;
    }
  }
  return pic;
}

base::Result<FrameImage> frame_to_image(const Frame& frame, const Image* like) {
  FrameImage out;
  const int32_t w = frame.width, h = frame.height;
  if (int64_t(w) * h > int64_t(frame.indices.size())) return base::Failure{"frame without its pixels"};
  const std::vector<uint32_t>& pal = frame.palette;
  const bool black_white = pal.size() == 2 && ((pal[0] == 0 && pal[1] == 0xFFFFFF) || (pal[0] == 0xFFFFFF && pal[1] == 0));
  std::string why;
  uint32_t handle = image_create(w, h, black_white ? 1 : 8, like, &why);
  if (!handle) return base::Failure{why};
  Image* img = image_of(handle);
  if (black_white) {
    img->palette[0] = 0x000000;
    img->palette[1] = 0xFFFFFF;
  } else if (!pal.empty()) {
    std::fill(std::begin(img->palette), std::end(img->palette), 0u);
    std::copy_n(pal.begin(), std::min<size_t>(pal.size(), 256), img->palette);
  }
  const uint8_t* src = frame.indices.data();
  for (int32_t y = 0; y < h; y++, src += w) {
    uint8_t* row = img->row(y);
    if (!black_white) {
      std::memcpy(row, src, size_t(w));
      continue;
    }
    for (int32_t x = 0; x < w; x++)  // white is bit 1; values beyond the table are black
      if (src[x] < 2 && pal[src[x]] != 0) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
  }
  img->st.off_x = frame.left;
  img->st.off_y = frame.top;

  if (frame.transparent >= 0) {
    out.mask = image_create(w, h, 1, like, &why);
    if (!out.mask) {
      vm::element_release(handle);
      return base::Failure{why};
    }
    Image* mask = image_of(out.mask);
    mask->palette[0] = 0x000000;
    mask->palette[1] = 0xFFFFFF;
    src = frame.indices.data();
    for (int32_t y = 0; y < h; y++, src += w) {
      uint8_t* row = mask->row(y);
      for (int32_t x = 0; x < w; x++)
        if (src[x] == frame.transparent) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
    }
  }
  out.image = handle;
  out.delay = frame.delay;
  return out;
}

// ---------------------------------------------------------------------------
// Writing

namespace {

constexpr int kHashSize = 5003;

// Codes packed least significant bit first into sub-blocks of up to 255 bytes.
class CodeWriter {
 public:
  explicit CodeWriter(std::vector<uint8_t>& out) : out_(out) {}
  void put(int32_t code, int width) {
    bits_ |= uint32_t(code) << nbits_;
    nbits_ += width;
    while (nbits_ >= 8) {
      byte(uint8_t(bits_));
      bits_ >>= 8;
      nbits_ -= 8;
    }
  }
  void finish() {
    if (nbits_ > 0) byte(uint8_t(bits_));
    bits_ = 0;
    nbits_ = 0;
    flush();
    out_.push_back(0);
  }

 private:
  void byte(uint8_t b) {
    block_[len_++] = b;
    if (len_ == 255) flush();
  }
  void flush() {
    if (len_ == 0) return;
    out_.push_back(uint8_t(len_));
    out_.insert(out_.end(), block_, block_ + len_);
    len_ = 0;
  }
  std::vector<uint8_t>& out_;
  uint8_t block_[255];
  int len_ = 0;
  uint32_t bits_ = 0;
  int nbits_ = 0;
};

// Median cut over a histogram of 5 bits per channel: up to `limit` colours
// for the colours given (0xRRGGBB) and, per histogram cell, the index of
// the nearest of them.
struct Quantized {
  std::vector<uint32_t> palette;
  std::vector<uint8_t> cell_index;  // 32768 cells, r << 10 | g << 5 | b
};

inline int cell_of(uint32_t c) { return int((c >> 9 & 0x7C00) | (c >> 6 & 0x3E0) | (c >> 3 & 0x1F)); }

Quantized median_cut(const std::vector<uint32_t>& count, const std::vector<std::array<uint64_t, 3>>& sum, int limit) {
  struct Box {
    int lo[3], hi[3];
    uint64_t pixels;
  };
  auto channel = [](int cell, int ch) { return ch == 0 ? cell >> 10 : ch == 1 ? cell >> 5 & 31 : cell & 31; };
  auto cell_at = [](int r, int g, int b) { return r << 10 | g << 5 | b; };
  // Shrinks a box to the cells in use and counts its pixels.
  auto shrink = [&](Box& box) {
    int lo[3] = {31, 31, 31}, hi[3] = {0, 0, 0};
    box.pixels = 0;
    for (int r = box.lo[0]; r <= box.hi[0]; r++)
      for (int g = box.lo[1]; g <= box.hi[1]; g++)
        for (int b = box.lo[2]; b <= box.hi[2]; b++) {
          int cell = cell_at(r, g, b);
          if (!count[size_t(cell)]) continue;
          box.pixels += count[size_t(cell)];
          for (int ch = 0; ch < 3; ch++) {
            lo[ch] = std::min(lo[ch], channel(cell, ch));
            hi[ch] = std::max(hi[ch], channel(cell, ch));
          }
        }
    std::copy_n(lo, 3, box.lo);
    std::copy_n(hi, 3, box.hi);
  };
  std::vector<Box> boxes{Box{{0, 0, 0}, {31, 31, 31}, 0}};
  shrink(boxes[0]);
  while (int(boxes.size()) < limit) {
    // Split the box with the most pixels times its longest side.
    int best = -1, best_ch = 0;
    uint64_t best_score = 0;
    for (size_t i = 0; i < boxes.size(); i++)
      for (int ch = 0; ch < 3; ch++) {
        uint64_t score = boxes[i].pixels * uint64_t(boxes[i].hi[ch] - boxes[i].lo[ch]);
        if (score > best_score) {
          best_score = score;
          best = int(i);
          best_ch = ch;
        }
      }
    if (best < 0) break;  // every box is a single cell
    Box& box = boxes[size_t(best)];
    std::array<uint64_t, 32> along{};
    for (int r = box.lo[0]; r <= box.hi[0]; r++)
      for (int g = box.lo[1]; g <= box.hi[1]; g++)
        for (int b = box.lo[2]; b <= box.hi[2]; b++) {
          int cell = cell_at(r, g, b);
          along[size_t(channel(cell, best_ch))] += count[size_t(cell)];
        }
    // The cut leaves at least one layer on each side, at the median pixel.
    int cut = box.lo[best_ch];
    uint64_t below = along[size_t(cut)];
    while (cut + 1 < box.hi[best_ch] && below * 2 < box.pixels) below += along[size_t(++cut)];
    Box upper = box;
    upper.lo[best_ch] = cut + 1;
    box.hi[best_ch] = cut;
    shrink(box);
    shrink(upper);
    boxes.push_back(upper);
  }
  Quantized q;
  for (const Box& box : boxes) {
    std::array<uint64_t, 3> s{};
    for (int r = box.lo[0]; r <= box.hi[0]; r++)
      for (int g = box.lo[1]; g <= box.hi[1]; g++)
        for (int b = box.lo[2]; b <= box.hi[2]; b++)
          for (int ch = 0; ch < 3; ch++) s[size_t(ch)] += sum[size_t(cell_at(r, g, b))][size_t(ch)];
    uint64_t n = std::max<uint64_t>(box.pixels, 1);
    q.palette.push_back(uint32_t(s[0] / n) << 16 | uint32_t(s[1] / n) << 8 | uint32_t(s[2] / n));
  }
  q.cell_index.assign(32768, 0);
  for (int cell = 0; cell < 32768; cell++) {
    if (!count[size_t(cell)]) continue;
    const std::array<uint64_t, 3>& s = sum[size_t(cell)];
    int64_t mean[3] = {int64_t(s[0] / count[size_t(cell)]), int64_t(s[1] / count[size_t(cell)]),
                       int64_t(s[2] / count[size_t(cell)])};
    int64_t best_d = INT64_MAX;
    for (size_t i = 0; i < q.palette.size(); i++) {
      uint32_t p = q.palette[i];
      int64_t dr = int64_t(p >> 16) - mean[0], dg = int64_t(p >> 8 & 255) - mean[1], db = int64_t(p & 255) - mean[2];
      int64_t d = dr * dr + dg * dg + db * db;
      if (d < best_d) {
        best_d = d;
        q.cell_index[size_t(cell)] = uint8_t(i);
      }
    }
  }
  return q;
}

inline uint32_t colour_at(const uint8_t* p) { return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]; }

}  // namespace

std::vector<uint8_t> lzw_encode(const uint8_t* pixels, size_t count, int32_t min_code_size) {
  std::vector<uint8_t> out;
  CodeWriter writer(out);
  const int init_bits = std::clamp(min_code_size, 2, 8) + 1;
  const int32_t clear = 1 << (init_bits - 1), end = clear + 1;
  const uint8_t value_mask = uint8_t(clear - 1);
  std::vector<int32_t> htab(kHashSize, -1);
  std::vector<uint16_t> codetab(kHashSize, 0);
  int n_bits = init_bits;
  int32_t maxcode = (1 << n_bits) - 1, free_ent = clear + 2;
  bool clear_flag = false;

  // Writes a code, then widens the codes once the next free code needs it,
  // or goes back to the first width after a clear code.
  auto output = [&](int32_t code) {
    writer.put(code, n_bits);
    if (free_ent > maxcode || clear_flag) {
      if (clear_flag) {
        n_bits = init_bits;
        clear_flag = false;
      } else {
        ++n_bits;
      }
      maxcode = n_bits == kMaxCodeBits ? kMaxCodes : (1 << n_bits) - 1;
    }
  };
  auto clear_table = [&] {
    std::fill(htab.begin(), htab.end(), -1);
    free_ent = clear + 2;
    clear_flag = true;
    output(clear);
  };

  clear_table();
  if (count > 0) {
    int32_t ent = pixels[0] & value_mask;
    for (size_t k = 1; k < count; k++) {
      const int32_t c = pixels[k] & value_mask;
      const int32_t fcode = (c << kMaxCodeBits) + ent;
      int32_t i = (c << 4) ^ ent;
      bool found = false;
      if (htab[size_t(i)] == fcode) {
        found = true;
      } else if (htab[size_t(i)] >= 0) {
        const int32_t disp = i == 0 ? 1 : kHashSize - i;
        do {
          if ((i -= disp) < 0) i += kHashSize;
          if (htab[size_t(i)] == fcode) found = true;
        } while (!found && htab[size_t(i)] >= 0);
      }
      if (found) {
        ent = codetab[size_t(i)];
        continue;
      }
      output(ent);
      ent = c;
      if (free_ent < kMaxCodes) {
        codetab[size_t(i)] = uint16_t(free_ent++);
        htab[size_t(i)] = fcode;
      } else {
        clear_table();
      }
    }
    output(ent);
  }
  output(end);
  writer.finish();
  return out;
}

std::vector<uint8_t> encode(const uint8_t* pixels, int32_t width, int32_t height, const uint32_t* palette,
                            int32_t colours, int32_t transparent) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide || int64_t(width) * height > kMaxPixels ||
      colours < 1 || colours > 256)
    return {};
  if (transparent >= colours) transparent = -1;

  // Palette reduction: an entry equal to an earlier one takes that one's
  // new index; the transparent entry keeps one of its own.
  std::array<uint8_t, 256> map{};
  std::array<uint32_t, 256> table{};
  int n = 0, new_transparent = -1;
  for (int i = 0; i < colours; i++) {
    const uint32_t c = palette[i] & 0xFFFFFF;
    int j = 0;
    if (i != transparent)
      while (j < n && (table[size_t(j)] != c || j == new_transparent)) j++;
    else
      j = n;
    if (j == n) {
      table[size_t(n++)] = c;
      if (i == transparent) new_transparent = j;
    }
    map[size_t(i)] = uint8_t(j);
  }
  int bits = 1;
  while ((1 << bits) < n) bits++;
  const int min_size = std::max(bits, 2);

  std::vector<uint8_t> out;
  const char* signature = transparent >= 0 ? "GIF89a" : "GIF87a";
  out.insert(out.end(), signature, signature + 6);
  base::append_le16(out, uint16_t(width));
  base::append_le16(out, uint16_t(height));
  out.push_back(uint8_t(0xF0 | (bits - 1)));
  out.push_back(0);  // background
  out.push_back(0);  // aspect
  for (int i = 0; i < 1 << bits; i++) {
    out.push_back(uint8_t(table[size_t(i)] >> 16));
    out.push_back(uint8_t(table[size_t(i)] >> 8));
    out.push_back(uint8_t(table[size_t(i)]));
  }
  if (new_transparent >= 0) {
    const uint8_t gce[] = {kExtensionIntroducer, kGraphicControlLabel, 4, 1, 0, 0, uint8_t(new_transparent), 0};
    out.insert(out.end(), gce, gce + sizeof gce);
  }
  out.push_back(kImageSeparator);
  base::append_le16(out, uint16_t(0));
  base::append_le16(out, uint16_t(0));
  base::append_le16(out, uint16_t(width));
  base::append_le16(out, uint16_t(height));
  out.push_back(0);  // no local table, not interlaced
  out.push_back(uint8_t(min_size));
  const size_t count = size_t(width) * size_t(height);
  std::vector<uint8_t> mapped(count);
  for (size_t k = 0; k < count; k++) mapped[k] = map[pixels[k] < colours ? pixels[k] : 0];
  std::vector<uint8_t> data = lzw_encode(mapped.data(), count, min_size);
  out.insert(out.end(), data.begin(), data.end());
  out.push_back(kTrailer);
  return out;
}

std::vector<uint8_t> write(const Image& img, const WriteOptions& options) {
  const int32_t w = img.width(), h = img.height();
  if (!img.pixels || w <= 0 || h <= 0) return {};
  std::vector<uint8_t> px(size_t(w) * size_t(h));
  std::vector<uint32_t> palette;
  int32_t transparent = -1;

  if (img.bits <= 8) {
    const int entries = 1 << img.bits;
    int max_index = 0;
    uint8_t* dst = px.data();
    for (int32_t y = 0; y < h; y++) {
      const uint8_t* row = img.row(y);
      for (int32_t x = 0; x < w; x++) {
        uint8_t v = img.bits == 8 ? row[x]
                    : img.bits == 4 ? uint8_t(row[x >> 1] >> ((x & 1) ? 0 : 4) & 15)
                                    : uint8_t(row[x >> 3] >> (7 - (x & 7)) & 1);
        max_index = std::max<int>(max_index, v);
        *dst++ = v;
      }
    }
    int colours = options.colours > 0 ? std::min(options.colours, entries) : entries;
    colours = std::max(colours, max_index + 1);
    palette.assign(img.palette, img.palette + colours);
    if (options.transparent_index >= 0 && options.transparent_index < colours) {
      transparent = options.transparent_index;
    } else if (options.transparent_colour >= 0) {
      // Every entry of that colour becomes the first such entry.
      std::array<uint8_t, 256> to{};
      for (int i = 0; i < colours; i++) {
        to[size_t(i)] = uint8_t(i);
        if ((palette[size_t(i)] & 0xFFFFFF) == uint32_t(options.transparent_colour)) {
          if (transparent < 0) transparent = i;
          to[size_t(i)] = uint8_t(transparent);
        }
      }
      if (transparent >= 0)
        for (uint8_t& v : px) v = to[v];
    }
    return encode(px.data(), w, h, palette.data(), colours, transparent);
  }

  // Direct colour: the colours themselves when there are at most 256.
  const int64_t tcolour = options.transparent_colour;
  std::unordered_map<uint32_t, uint8_t> index;
  bool exact = true;
  uint8_t* dst = px.data();
  for (int32_t y = 0; y < h && exact; y++) {
    const uint8_t* p = img.row(y);
    for (int32_t x = 0; x < w; x++, p += img.bytes_pp) {
      const uint32_t c = colour_at(p);
      auto it = index.find(c);
      if (it == index.end()) {
        if (index.size() == 256) {
          exact = false;
          break;
        }
        it = index.emplace(c, uint8_t(palette.size())).first;
        if (int64_t(c) == tcolour) transparent = int32_t(palette.size());
        palette.push_back(c);
      }
      *dst++ = it->second;
    }
  }
  if (exact) return encode(px.data(), w, h, palette.data(), int32_t(palette.size()), transparent);

  // More colours: a median-cut palette, with an entry of its own for the
  // transparent colour.
  std::vector<uint32_t> count(32768, 0);
  std::vector<std::array<uint64_t, 3>> sum(32768, std::array<uint64_t, 3>{});
  bool has_transparent = false;
  for (int32_t y = 0; y < h; y++) {
    const uint8_t* p = img.row(y);
    for (int32_t x = 0; x < w; x++, p += img.bytes_pp) {
      const uint32_t c = colour_at(p);
      if (int64_t(c) == tcolour) {
        has_transparent = true;
        continue;
      }
      const size_t cell = size_t(cell_of(c));
      count[cell]++;
      sum[cell][0] += c >> 16;
      sum[cell][1] += c >> 8 & 255;
      sum[cell][2] += c & 255;
    }
  }
  Quantized q = median_cut(count, sum, has_transparent ? 255 : 256);
  palette = q.palette;
  transparent = -1;
  if (has_transparent) {
    transparent = int32_t(palette.size());
    palette.push_back(uint32_t(tcolour));
  }
  dst = px.data();
  for (int32_t y = 0; y < h; y++) {
    const uint8_t* p = img.row(y);
    for (int32_t x = 0; x < w; x++, p += img.bytes_pp) {
      const uint32_t c = colour_at(p);
      *dst++ = int64_t(c) == tcolour ? uint8_t(transparent) : q.cell_index[size_t(cell_of(c))];
    }
  }
  return encode(px.data(), w, h, palette.data(), int32_t(palette.size()), transparent);
}

}  // namespace gfx::gif
