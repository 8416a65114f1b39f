// GIF pictures through the GIF codec: frames become images (an image list
// for an animation), images become single-frame files.
#include "graphics/formats/formats.h"

#include "graphics/gif.h"
#include "vm/element.h"
#include "vm/variables.h"

namespace gfx {

using namespace formats;  // the readers' shared helpers

Result<uint32_t> read_gif(const uint8_t* data, size_t size, const Image* like) {
  gif::Picture pic = gif::read(data, size);
  vm::Value list = vm::Value::null();
  uint32_t single = 0;
  for (const gif::Frame& f : pic.frames) {
    // A frame that cannot be made is left out; only a file without any
    // picture is refused.
    gif::FrameImage fi = gif::frame_to_image(f, like).value();
    Image* img = image_of(fi.image);
    if (!img) {
      if (fi.mask) vm::element_release(fi.mask);
      continue;
    }
    // The mask keeps exactly the transparent pixels out of puts (another
    // palette entry of the same colour stays opaque); the transparent
    // colour is kept as well, so that saving writes the frame back with it.
    img->mask = fi.mask;
    // Delays (and the 1/30 s minimum for frames that give 0 or 1) pace an
    // animation; a still picture is put without waiting.
    img->delay = pic.frames.size() > 1 ? fi.delay : 0;
    if (f.transparent >= 0) {
      img->st.tran = 1;
      img->st.color_tran = img->palette[f.transparent & 255];
    }
    if (pic.frames.size() == 1) {
      single = fi.image;
      break;
    }
    vm::array_append(list, vm::Value::from_handle(fi.image));
    vm::element_release(fi.image);
  }
  if (single) return single;
  if (list.is_null()) return Failure{pic.error.empty() ? "no picture in the GIF file" : pic.error};
  return list.handle();
}

std::vector<uint8_t> encode_gif(const Image& img) {
  if (img.width() <= 0 || img.height() <= 0) return {};
  gif::WriteOptions options;
  if (img.st.tran) options.transparent_colour = img.st.color_tran & 0xFFFFFF;
  return gif::write(img, options);
}

}  // namespace gfx
