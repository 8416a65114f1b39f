// Windows and enhanced metafiles as pictures: the file's bytes kept in an
// empty image, played by graphics/metafile.cpp at the size asked for.
#include "graphics/formats/formats.h"

#include <cstring>

#include "base/bytes.h"
#include "vm/element.h"

namespace gfx {

using namespace formats;  // the readers' shared helpers

Result<uint32_t> formats::read_metafile(const uint8_t* data, size_t size, const Image* like) {
  // A metafile (Windows or enhanced) is an empty 32-bit picture that
  // keeps the file's bytes; imagesize plays them at the size it is given.
  Result<uint32_t> made = new_image(0, 0, 32, like);
  if (Image* img = image_of(made.value())) {
    img->metafile = vm::element_create(data, size, vm::kTypeString);
    if (!img->metafile) {
      vm::element_release(made.value());
      return Failure{"out of memory"};
    }
  }
  return made;
}

bool formats::is_emf(const uint8_t* d, size_t n) { return n >= 44 && std::memcmp(d + 40, " EMF", 4) == 0; }

namespace {
bool wmf_header(const uint8_t* d, size_t n, size_t at) {
  return n >= at + 4 && (load_le16(d + at) == 1 || load_le16(d + at) == 2) && load_le16(d + at + 2) == 9;
}
}  // namespace

bool formats::is_placeable_wmf(const uint8_t* d, size_t n) {
  return n >= 4 && load_le32(d) == 0x9AC6CDD7u && wmf_header(d, n, 22);
}
bool formats::is_wmf(const uint8_t* d, size_t n) { return wmf_header(d, n, 0); }

}  // namespace gfx
