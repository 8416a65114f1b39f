// The GIF codec against giflib: files made by ImageMagick (interlaced, local
// tables, transparency, animation with offsets, black and white, odd sizes,
// photo-like 256-colour pictures) decoded by our reader and by giflib's
// DGifSlurp must agree frame by frame and pixel by pixel; files made by our
// writer must decode in giflib to the pixels of their source image. Built
// only when giflib is found; the ImageMagick corpus is skipped without
// `convert`.
#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "graphics/gif.h"
#include "graphics/image.h"
#include "vm_fixture.h"

namespace gif = gfx::gif;
using Bytes = std::vector<uint8_t>;

namespace {

// giflib's decoding of a file held in memory.
struct Slurped {
  int error = 0;           // giflib's error code, 0 when the file was read
  GifFileType* file = nullptr;
  Slurped(const Slurped&) = delete;
  Slurped& operator=(const Slurped&) = delete;
  explicit Slurped(const Bytes& bytes) : data(bytes) {
    file = DGifOpen(this, &Slurped::input, &error);
    if (!file) return;
    if (DGifSlurp(file) != GIF_OK) error = file->Error ? file->Error : -1;
  }
  ~Slurped() {
    int ignored = 0;
    if (file) DGifCloseFile(file, &ignored);
  }
  // The colour of a pixel of frame `f` (its local table, else the global one).
  uint32_t colour(int f, size_t k) const {
    const SavedImage& img = file->SavedImages[f];
    const ColorMapObject* map = img.ImageDesc.ColorMap ? img.ImageDesc.ColorMap : file->SColorMap;
    int index = img.RasterBits[k];
    if (!map || index >= map->ColorCount) return 0xFFFFFFFFu;  // never a 0xRRGGBB colour
    const GifColorType& c = map->Colors[index];
    return uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
  }

 private:
  static int input(GifFileType* g, GifByteType* buf, int len) {
    auto* self = static_cast<Slurped*>(g->UserData);
    size_t n = std::min(size_t(len), self->data.size() - self->at);
    std::memcpy(buf, self->data.data() + self->at, n);
    self->at += n;
    return int(n);
  }
  const Bytes& data;
  size_t at = 0;
};

Bytes load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t our_colour(const gif::Frame& f, size_t k) {
  uint8_t index = f.indices[k];
  return index < f.palette.size() ? f.palette[index] : 0xFFFFFFFFu;
}

// Our reader and giflib agree on a file: the screen, and per frame the
// placement, interlacing, transparent index, delay, every index and the
// colour of every pixel.
void expect_same_decoding(const Bytes& bytes, const std::string& what) {
  SCOPED_TRACE(what);
  gif::Picture ours = gif::read(bytes.data(), bytes.size());
  Slurped theirs(bytes);
  ASSERT_NE(theirs.file, nullptr) << "giflib error " << theirs.error;
  ASSERT_EQ(theirs.error, 0) << "giflib error";
  EXPECT_EQ(ours.error, "");
  EXPECT_EQ(ours.screen_width, theirs.file->SWidth);
  EXPECT_EQ(ours.screen_height, theirs.file->SHeight);
  ASSERT_EQ(ours.frames.size(), size_t(theirs.file->ImageCount));
  ASSERT_FALSE(ours.frames.empty());
  for (int f = 0; f < theirs.file->ImageCount; f++) {
    SCOPED_TRACE("frame " + std::to_string(f));
    const gif::Frame& o = ours.frames[size_t(f)];
    const GifImageDesc& d = theirs.file->SavedImages[f].ImageDesc;
    ASSERT_EQ(o.left, d.Left);
    ASSERT_EQ(o.top, d.Top);
    ASSERT_EQ(o.width, d.Width);
    ASSERT_EQ(o.height, d.Height);
    EXPECT_EQ(o.interlaced, bool(d.Interlace));
    EXPECT_TRUE(o.complete);
    GraphicsControlBlock gcb{};
    if (DGifSavedExtensionToGCB(theirs.file, f, &gcb) == GIF_OK) {
      EXPECT_EQ(o.transparent, gcb.TransparentColor);
      EXPECT_EQ(o.delay_cs, gcb.DelayTime);
    } else {
      EXPECT_EQ(o.transparent, -1);
    }
    const size_t count = size_t(d.Width) * size_t(d.Height);
    ASSERT_EQ(o.indices.size(), count);
    for (size_t k = 0; k < count; k++) {
      ASSERT_EQ(o.indices[k], theirs.file->SavedImages[f].RasterBits[k]) << "pixel " << k % size_t(d.Width) << ","
                                                                            << k / size_t(d.Width);
      ASSERT_EQ(our_colour(o, k), theirs.colour(f, k)) << "pixel " << k;
    }
  }
}

}  // namespace

class GifDifferential : public VmTest {
 protected:
  gfx::Image* make(int w, int h, int bits) {
    uint32_t handle = gfx::image_create(w, h, bits, nullptr, nullptr);
    if (handle) handles.push_back(handle);
    return gfx::image_of(handle);
  }
  void TearDown() override {
    for (uint32_t h : handles) vm::element_release(h);
    VmTest::TearDown();
  }
  // Writes `img`, decodes the file with giflib and compares with the source
  // image (`tolerance`: the largest channel difference allowed); our reader
  // must give giflib's pixels exactly.
  void expect_giflib_reads_ours(const gfx::Image& img, const std::string& what, int tolerance = 0) {
    SCOPED_TRACE(what);
    Bytes file = gif::write(img);
    ASSERT_FALSE(file.empty());
    expect_same_decoding(file, what + " (our file)");
    Slurped theirs(file);
    ASSERT_NE(theirs.file, nullptr);
    ASSERT_EQ(theirs.file->ImageCount, 1);
    const GifImageDesc& d = theirs.file->SavedImages[0].ImageDesc;
    ASSERT_EQ(d.Width, img.width());
    ASSERT_EQ(d.Height, img.height());
    int worst = 0;
    for (int y = 0; y < img.height(); y++) {
      for (int x = 0; x < img.width(); x++) {
        uint32_t want = gfx::get_pixel(img, x, y);
        uint32_t got = theirs.colour(0, size_t(y) * size_t(img.width()) + size_t(x));
        ASSERT_NE(got, 0xFFFFFFFFu) << "index beyond the table at " << x << "," << y;
        for (int shift : {0, 8, 16}) {
          worst = std::max(worst, std::abs(int((want >> shift) & 0xFF) - int((got >> shift) & 0xFF)));
        }
        if (tolerance == 0) {
          ASSERT_EQ(got, want) << "at " << x << "," << y;
        }
      }
    }
    EXPECT_LE(worst, tolerance);
  }
  std::vector<uint32_t> handles;
};

TEST_F(GifDifferential, ImageMagickFilesDecodeAsInGiflib) {
  if (std::system("convert -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ImageMagick is not installed";
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(::testing::TempDir()) / ("quillon_gifdiff_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  struct Case {
    const char* name;
    std::string args;  // convert's arguments before the output file
  };
  const std::vector<Case> corpus = {
      {"interlaced", "-size 97x61 gradient:red-blue -colors 64 -interlace GIF"},
      {"interlaced_odd", "-seed 5 -size 13x11 plasma:fractal -colors 100 -interlace GIF"},
      {"local_tables",
       "-delay 20 -size 40x30 gradient:red-yellow -size 40x30 gradient:blue-cyan -size 40x30 gradient:green-black"
       " -colors 48"},
      {"transparent", "-size 50x40 xc:none -fill red -draw 'circle 25,20 25,5' -fill blue -draw 'rectangle 2,2 12,9'"},
      {"animation_offsets",
       "-delay 7 -size 60x50 xc:white -page +5+7 -size 20x10 xc:red -page +30+33 -size 13x9 gradient:blue-white"
       " -page +0+0 -size 1x1 xc:black"},
      {"black_white", "-size 33x21 pattern:checkerboard -monochrome"},
      {"one_by_one", "-size 1x1 xc:orange"},
      {"seven_by_three", "-size 7x3 gradient:white-navy -colors 5"},
      {"wide", "-seed 11 -size 333x17 plasma:fractal -colors 200"},
      {"photo_plasma", "-seed 3 -size 256x192 plasma:fractal -colors 256"},
      {"photo_noise", "-seed 4 -size 211x157 gradient:yellow-purple -attenuate 0.3 +noise Gaussian -colors 256"},
  };
  for (const Case& c : corpus) {
    const fs::path out = dir / (std::string(c.name) + ".gif");
    const std::string command = "convert " + c.args + " '" + out.string() + "' 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    Bytes bytes = load(out.string());
    ASSERT_GT(bytes.size(), 13u) << c.name;
    expect_same_decoding(bytes, c.name);
  }
  // The corpus must hold what it is meant to: an interlaced file, local
  // tables, a transparent index, offsets and several frames.
  auto picture = [&](const char* name) {
    Bytes b = load((dir / (std::string(name) + ".gif")).string());
    return gif::read(b.data(), b.size());
  };
  EXPECT_TRUE(picture("interlaced").frames.at(0).interlaced);
  gif::Picture local = picture("local_tables");
  ASSERT_EQ(local.frames.size(), 3u);
  EXPECT_NE(local.frames[1].palette, local.frames[0].palette);
  EXPECT_GE(picture("transparent").frames.at(0).transparent, 0);
  gif::Picture anim = picture("animation_offsets");
  ASSERT_EQ(anim.frames.size(), 4u);
  EXPECT_EQ(anim.frames[1].left, 5);
  EXPECT_EQ(anim.frames[2].top, 33);
  EXPECT_LE(picture("black_white").frames.at(0).palette.size(), 2u);
  fs::remove_all(dir);
}

TEST_F(GifDifferential, GiflibReadsOurFilesAsTheirSourceImages) {
  // Indexed images of 1, 4 and 8 bits with palettes of their own.
  const int w = 37, h = 23;
  for (int bits : {1, 4, 8}) {
    gfx::Image* img = make(w, h, bits);
    ASSERT_NE(img, nullptr);
    const int entries = 1 << bits;
    for (int k = 0; k < entries; k++) img->palette[k] = uint32_t(k * 0x0B1F2D + (k * k) * 0x000301) & 0xFFFFFF;
    img->palette[0] = 0x102030;
    if (bits == 1) img->palette[1] = 0xE0D0C0;
    for (int y = 0; y < h; y++) {
      for (int x = 0; x < w; x++) gfx::set_pixel(*img, x, y, img->palette[(x * 7 + y * 3 + x * y) % entries]);
    }
    expect_giflib_reads_ours(*img, std::to_string(bits) + "-bit");
  }
  // 24 bits with 200 colours: kept exactly.
  gfx::Image* few = make(101, 67, 24);
  ASSERT_NE(few, nullptr);
  for (int y = 0; y < 67; y++) {
    for (int x = 0; x < 101; x++) {
      uint32_t k = uint32_t(x * 13 + y * 29) % 200;
      gfx::set_pixel(*few, x, y, k * 0x010101u ^ (k % 7) * 0x200000u ^ (k % 5) * 0x000900u);
    }
  }
  expect_giflib_reads_ours(*few, "24-bit, 200 colours");
  // 24 bits with thousands of colours: a smooth picture, so that the
  // median-cut palette stays close to every source colour.
  gfx::Image* many = make(160, 120, 24);
  ASSERT_NE(many, nullptr);
  for (int y = 0; y < 120; y++) {
    for (int x = 0; x < 160; x++) {
      gfx::set_pixel(*many, x, y, uint32_t(x * 255 / 159) << 16 | uint32_t(y * 255 / 119) << 8 | uint32_t((x + y) / 2));
    }
  }
  expect_giflib_reads_ours(*many, "24-bit, many colours", 48);
}
