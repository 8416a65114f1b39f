// TIFF through libtiff, in memory: reading as straight RGBA, writing
// LZW-compressed RGB or RGBA. libtiff, with the compression libraries it
// brings, is opened at the first TIFF file (platform/lazy_library.h).
#include "graphics/formats/formats.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/lazy_library.h"

namespace gfx {

using namespace formats;  // the readers' shared helpers

namespace {

#define TIFF_FUNCTIONS(X)                                                                                     \
  X(TIFFOpenOptionsAlloc) X(TIFFOpenOptionsSetMaxSingleMemAlloc) X(TIFFOpenOptionsSetErrorHandlerExtR)         \
  X(TIFFOpenOptionsSetWarningHandlerExtR) X(TIFFOpenOptionsFree) X(TIFFClientOpenExt) X(TIFFClose)            \
  X(TIFFGetField) X(TIFFSetField) X(TIFFRGBAImageOK) X(TIFFRGBAImageBegin) X(TIFFRGBAImageGet)                \
  X(TIFFRGBAImageEnd) X(TIFFDefaultStripSize) X(TIFFWriteScanline)
TIFF_FUNCTIONS(QUILLON_LAZY_POINTER)

// libtiff, opened at the first TIFF file; false, with the reason in `why`,
// when it cannot be loaded.
bool tiff_ready(std::string& why) {
  static platform::LazyLibrary tiff;
  return platform::lazy_library_load(tiff, {"libtiff.so.6"}, [](void* lib) -> const char* {
    return TIFF_FUNCTIONS(QUILLON_LAZY_BIND) true ? nullptr : "this libtiff lacks a function the player calls";
  }, why);
}

// libtiff's input and output in memory.
struct TiffMem {
  const uint8_t* data = nullptr;  // reading
  std::vector<uint8_t>* out = nullptr;  // writing
  uint64_t size = 0;
  uint64_t pos = 0;
  std::string message;
};

tmsize_t tiff_read(thandle_t h, void* buf, tmsize_t n) {
  auto* m = static_cast<TiffMem*>(h);
  const uint8_t* src = m->out ? m->out->data() : m->data;
  uint64_t size = m->out ? m->out->size() : m->size;
  if (n < 0 || m->pos >= size) return 0;
  uint64_t k = std::min<uint64_t>(uint64_t(n), size - m->pos);
  std::memcpy(buf, src + m->pos, size_t(k));
  m->pos += k;
  return tmsize_t(k);
}
tmsize_t tiff_write(thandle_t h, void* buf, tmsize_t n) {
  auto* m = static_cast<TiffMem*>(h);
  if (!m->out || n < 0) return 0;
  if (m->pos + uint64_t(n) > m->out->size()) m->out->resize(size_t(m->pos + uint64_t(n)));
  std::memcpy(m->out->data() + m->pos, buf, size_t(n));
  m->pos += uint64_t(n);
  return n;
}
toff_t tiff_seek(thandle_t h, toff_t off, int whence) {
  auto* m = static_cast<TiffMem*>(h);
  uint64_t size = m->out ? m->out->size() : m->size;
  uint64_t base = whence == SEEK_CUR ? m->pos : whence == SEEK_END ? size : 0;
  uint64_t to = base + off;
  if (to > (uint64_t(1) << 40)) return toff_t(-1);
  m->pos = to;
  return to;
}
int tiff_close(thandle_t) { return 0; }
toff_t tiff_size(thandle_t h) {
  auto* m = static_cast<TiffMem*>(h);
  return m->out ? m->out->size() : m->size;
}
int tiff_map(thandle_t, void**, toff_t*) { return 0; }
void tiff_unmap(thandle_t, void*, toff_t) {}
int tiff_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  auto* m = static_cast<TiffMem*>(user);
  if (m->message.empty()) {
    char buf[256];
    // libtiff's own format string, passed through as its handler is given it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vsnprintf(buf, sizeof buf, fmt, ap);
#pragma GCC diagnostic pop
    m->message = std::string(module ? module : "libtiff") + ": " + buf;
  }
  return 1;
}
int tiff_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

TIFF* tiff_open(TiffMem& m, const char* mode) {
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts, tmsize_t(1) << 28);
  TIFFOpenOptionsSetErrorHandlerExtR(opts, tiff_error, &m);
  TIFFOpenOptionsSetWarningHandlerExtR(opts, tiff_warning, &m);
  TIFF* t = TIFFClientOpenExt("image", mode, &m, tiff_read, tiff_write, tiff_seek, tiff_close, tiff_size, tiff_map,
                              tiff_unmap, opts);
  TIFFOpenOptionsFree(opts);
  return t;
}

// Put routines of libtiff's RGBA reader for RGB samples with unassociated
// (straight) alpha: libtiff's own premultiply them, which loses the colour
// of faint pixels; these pack the samples as they are. 16-bit samples are
// scaled to 8 bits with rounding.
uint32_t pack_rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) { return r | g << 8 | b << 16 | a << 24; }
uint32_t to8(uint16_t v) { return (uint32_t(v) * 255 + 32767) / 65535; }

void put_straight_contig8(TIFFRGBAImage* img, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
                          int32_t fromskew, int32_t toskew, unsigned char* pp) {
  const int64_t spp = img->samplesperpixel;
  for (uint32_t y = 0; y < h; y++) {
    for (uint32_t x = 0; x < w; x++, pp += spp) *cp++ = pack_rgba(pp[0], pp[1], pp[2], pp[3]);
    cp += toskew;
    pp += int64_t(fromskew) * spp;
  }
}

void put_straight_contig16(TIFFRGBAImage* img, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
                           int32_t fromskew, int32_t toskew, unsigned char* pp) {
  const int64_t spp = img->samplesperpixel;
  const unsigned char* p = pp;
  uint16_t s[4];
  for (uint32_t y = 0; y < h; y++) {
    for (uint32_t x = 0; x < w; x++, p += 2 * spp) {
      std::memcpy(s, p, sizeof s);
      *cp++ = pack_rgba(to8(s[0]), to8(s[1]), to8(s[2]), to8(s[3]));
    }
    cp += toskew;
    p += int64_t(fromskew) * spp * 2;
  }
}

void put_straight_separate8(TIFFRGBAImage*, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
                            int32_t fromskew, int32_t toskew, unsigned char* r, unsigned char* g, unsigned char* b,
                            unsigned char* a) {
  for (uint32_t y = 0; y < h; y++) {
    for (uint32_t x = 0; x < w; x++) *cp++ = pack_rgba(*r++, *g++, *b++, *a++);
    r += fromskew, g += fromskew, b += fromskew, a += fromskew;
    cp += toskew;
  }
}

void put_straight_separate16(TIFFRGBAImage*, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
                             int32_t fromskew, int32_t toskew, unsigned char* r, unsigned char* g, unsigned char* b,
                             unsigned char* a) {
  auto sample = [](unsigned char*& p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    p += 2;
    return to8(v);
  };
  for (uint32_t y = 0; y < h; y++) {
    for (uint32_t x = 0; x < w; x++) {
      uint32_t rv = sample(r), gv = sample(g), bv = sample(b), av = sample(a);
      *cp++ = pack_rgba(rv, gv, bv, av);
    }
    r += 2 * fromskew, g += 2 * fromskew, b += 2 * fromskew, a += 2 * fromskew;
    cp += toskew;
  }
}

// Reads the picture as straight RGBA, top row first. Colour samples stored
// premultiplied (associated alpha) come back divided by their alpha.
bool read_tiff_rgba(TIFF* t, uint32_t w, uint32_t h, uint32_t* raster, char message[1024]) {
  TIFFRGBAImage img;
  if (!TIFFRGBAImageOK(t, message) || !TIFFRGBAImageBegin(&img, t, 1, message)) return false;
  img.req_orientation = ORIENTATION_TOPLEFT;
  if (img.alpha == EXTRASAMPLE_UNASSALPHA && img.photometric == PHOTOMETRIC_RGB && img.samplesperpixel >= 4) {
    if (img.isContig && img.bitspersample == 8) img.put.contig = put_straight_contig8;
    if (img.isContig && img.bitspersample == 16) img.put.contig = put_straight_contig16;
    if (!img.isContig && img.bitspersample == 8) img.put.separate = put_straight_separate8;
    if (!img.isContig && img.bitspersample == 16) img.put.separate = put_straight_separate16;
  }
  const bool premultiplied = img.alpha == EXTRASAMPLE_ASSOCALPHA;
  bool ok = img.width == w && img.height == h && TIFFRGBAImageGet(&img, raster, w, h);
  TIFFRGBAImageEnd(&img);
  if (ok && premultiplied) {
    for (size_t i = 0, n = size_t(w) * h; i < n; i++) {
      uint32_t p = raster[i], a = TIFFGetA(p);
      if (a == 0 || a == 255) continue;
      auto un = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
      raster[i] = pack_rgba(un(TIFFGetR(p)), un(TIFFGetG(p)), un(TIFFGetB(p)), a);
    }
  }
  return ok;
}

}  // namespace

Result<uint32_t> read_tiff(const uint8_t* data, size_t size, const Image* like) {
  if (std::string why; !tiff_ready(why)) return Failure{"TIFF pictures need libtiff: " + why};
  TiffMem m;
  m.data = data;
  m.size = size;
  TIFF* t = tiff_open(m, "rm");
  if (!t) return Failure{m.message.empty() ? "not a TIFF file" : m.message};
  uint32_t w = 0, h = 0;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
  uint16_t extra = 0;
  uint16_t* extra_types = nullptr;
  bool alpha = TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &extra, &extra_types) && extra > 0;
  if (Status sized = w == 0 || h == 0 ? Failure{"bad picture size"} : size_ok(w, h); !sized) {
    TIFFClose(t);
    return sized.failure();
  }
  // Not zeroed: a file that claims a large picture but holds little data
  // fails before most of the pages are touched.
  std::unique_ptr<uint32_t[]> raster(new (std::nothrow) uint32_t[size_t(w) * h]);
  char message[1024] = {};
  if (!raster) {
    TIFFClose(t);
    return Failure{"out of memory"};
  }
  if (!read_tiff_rgba(t, w, h, raster.get(), message)) {
    TIFFClose(t);
    return Failure{!m.message.empty() ? m.message : message[0] ? message : "unreadable TIFF file"};
  }
  TIFFClose(t);
  Result<uint32_t> made = new_for_reader(w, h, alpha ? -32 : 24, like);
  if (!made) return made;
  const uint32_t handle = made.value();
  Image* img = image_of(handle);
  for (uint32_t y = 0; y < h; y++) {
    uint8_t* o = img->row(int32_t(y));
    const uint32_t* s = &raster[size_t(y) * w];
    for (uint32_t x = 0; x < w; x++, o += img->bytes_pp) {
      o[0] = uint8_t(TIFFGetB(s[x]));
      o[1] = uint8_t(TIFFGetG(s[x]));
      o[2] = uint8_t(TIFFGetR(s[x]));
      if (alpha) o[3] = uint8_t(TIFFGetA(s[x]));
    }
  }
  return handle;
}

Result<std::vector<uint8_t>> encode_tiff(const Image& img) {
  int32_t w = img.width(), h = img.height();
  if (w <= 0 || h <= 0 || !img.pixels) return Failure{"empty image"};
  if (std::string why; !tiff_ready(why)) return Failure{"TIFF pictures need libtiff: " + why};
  std::vector<uint8_t> out;
  TiffMem m;
  m.out = &out;
  TIFF* t = tiff_open(m, "w");
  if (!t) return Failure{"cannot start a TIFF file"};
  bool alpha = img.has_alpha;
  uint16_t ch = alpha ? 4 : 3;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(w));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(h));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, ch);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  if (alpha) {
    uint16_t type[1] = {EXTRASAMPLE_UNASSALPHA};
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, type);
  }
  std::vector<uint8_t> row(size_t(w) * ch);
  bool ok = true;
  for (int32_t y = 0; y < h && ok; y++) {
    for (int32_t x = 0; x < w; x++) {
      uint32_t c = get_pixel(img, x, y);
      uint8_t* o = &row[size_t(x) * ch];
      o[0] = uint8_t(c >> 16);
      o[1] = uint8_t(c >> 8);
      o[2] = uint8_t(c);
      if (alpha) o[3] = img.row(y)[4 * x + 3];
    }
    ok = TIFFWriteScanline(t, row.data(), uint32_t(y), 0) == 1;
  }
  TIFFClose(t);
  if (!ok) return Failure{m.message.empty() ? "TIFF writing failed" : m.message};
  return out;
}

bool formats::is_tiff(const uint8_t* d, size_t n) {
  return n >= 4 && ((d[0] == 'I' && d[1] == 'I' && d[2] == '*' && d[3] == 0) || (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && d[3] == '*'));
}

}  // namespace gfx
