// png_compare EXPECTED ACTUAL: compares two PNG files pixel for pixel (as
// 8-bit RGBA). Exit status 0 when equal, 1 when they differ (the size or
// the first differing pixel is printed), 2 when a file cannot be read.
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct Picture {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgba;
};

bool load(const char* path, Picture& out) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path)) {
    std::fprintf(stderr, "png_compare: %s: %s\n", path, image.message);
    return false;
  }
  image.format = PNG_FORMAT_RGBA;
  out.width = image.width;
  out.height = image.height;
  out.rgba.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr)) {
    std::fprintf(stderr, "png_compare: %s: %s\n", path, image.message);
    png_image_free(&image);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: png_compare EXPECTED ACTUAL\n");
    return 2;
  }
  Picture want, got;
  if (!load(argv[1], want) || !load(argv[2], got)) return 2;
  if (want.width != got.width || want.height != got.height) {
    std::printf("size differs: expected %ux%u, got %ux%u\n", want.width, want.height, got.width, got.height);
    return 1;
  }
  size_t differing = 0, first = 0;
  for (size_t p = 0; p < size_t(want.width) * want.height; p++) {
    if (std::memcmp(&want.rgba[p * 4], &got.rgba[p * 4], 4) != 0 && differing++ == 0) first = p;
  }
  if (differing == 0) return 0;
  const uint8_t* a = &want.rgba[first * 4];
  const uint8_t* b = &got.rgba[first * 4];
  std::printf("%zu pixels differ; first at (%zu, %zu): expected #%02X%02X%02X, got #%02X%02X%02X\n", differing,
              first % want.width, first / want.width, a[0], a[1], a[2], b[0], b[1], b[2]);
  return 1;
}
