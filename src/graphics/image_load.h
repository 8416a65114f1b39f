// Images from files and into files: creation with the template and palette
// rules, the variable a loaded file is stored in, format detection by
// content, the readers (Windows bitmaps, our own clp/gli/pal pictures, icons
// and cursors, PNG, JPEG, TIFF, GIF through the GIF codec) and the writers.
//
// Readers take the whole file as bytes and never trust it: every size, count
// and offset is checked against the data before it is used, and a picture
// larger than kMaxSide on a side or kMaxPixels in all is refused before
// anything is allocated. A reader that refuses gives a failure with an
// explanation; it never aborts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "graphics/image.h"
#include "vm/value.h"

namespace vm {
struct Interp;
}

namespace gfx {

// --- creation -------------------------------------------------------------------

// Creates an image element after the creation rules: each size below 0
// becomes 0 (an image with a side of 0 has no pixels but a drawing state and
// its other side); bits -32, or 32 with an
// alpha template, make an alpha image; the drawing state is copied from
// `like` (font cleared, text position reset, clip rectangle the whole image,
// current colour the colour mask); indexed depths get `palette` (`entries`
// of them, clamped to 0..256; the rest white) or, without one, a grey ramp
// of 2^bits entries. Returns the handle (one reference) or 0.
uint32_t image_new(int32_t w, int32_t h, int32_t bits, const Image* like, const uint32_t* palette = nullptr,
                   int32_t entries = 0, std::string* error = nullptr);
// Entry i of the grey ramp of a depth of 1 to 8 bits.
uint32_t grey_ramp(int32_t bits, int32_t i);

// --- formats ----------------------------------------------------------------------

enum class Format { Bmp, Own, Icon, Gif, Tiff, Png, Emf, PlaceableWmf, Wmf, Jpeg };
// The format of a file by its first bytes (anything unknown is JPEG).
Format detect_format(const uint8_t* data, size_t size);

// The readers (one file each in graphics/formats/). `like` is the template
// of the new images. Each gives an image handle (one reference) or why the
// file was refused; decode() may give an image list (an ARRAY of image
// handles) for animated GIF files.
base::Result<uint32_t> read_bmp(const uint8_t* data, size_t size, const Image* like);
base::Result<uint32_t> read_own(const uint8_t* data, size_t size, const Image* like);
base::Result<uint32_t> read_icon(const uint8_t* data, size_t size, const Image* like);
base::Result<uint32_t> read_png(const uint8_t* data, size_t size, const Image* like);
base::Result<uint32_t> read_jpeg(const uint8_t* data, size_t size, const Image* like);
base::Result<uint32_t> read_tiff(const uint8_t* data, size_t size, const Image* like);
// GIF through the GIF codec: one image, or an image list for several frames.
base::Result<uint32_t> read_gif(const uint8_t* data, size_t size, const Image* like);
// Chooses the reader by content.
base::Result<uint32_t> decode(const uint8_t* data, size_t size, const Image* like);

// The writers: the file's bytes, or why the image cannot be written. The
// BMP and GIF writers cannot fail but on an image without pixels (GIF:
// empty bytes).
std::vector<uint8_t> encode_bmp(const Image& img);
base::Result<std::vector<uint8_t>> encode_png(const Image& img);
base::Result<std::vector<uint8_t>> encode_jpeg(const Image& img, int quality);
base::Result<std::vector<uint8_t>> encode_tiff(const Image& img);
std::vector<uint8_t> encode_gif(const Image& img);

// --- loading into variables ---------------------------------------------------------

// The extension list of the resource search, in search order.
inline constexpr const char* kImageExtensions[] = {"bmp", "cur", "jpg", "gif", "tif", "gli",
                                                   "pic", "clp", "png", "emf", "wmf"};

// The image loader: `name` is a file name (a text). The result is stored in
// the variable `var` when given (a name), else in the variable derived from
// the file name; a variable that already holds an image or an image list is
// used as it is. A name with "+" loads a numbered sequence into an image
// list. A name found nowhere raises MISSINGFILE with the kind word "Image";
// an unreadable file gives null and prints one line on standard error.
// Returns the value stored (borrowed from the variable) or null.
vm::Value load_into_variable(vm::Interp& ctx, vm::Value name, vm::Value var = vm::Value::null());

// An image argument: an image, an image list, or a name for the loader.
// Returns the image or list (borrowed) or null.
vm::Value image_arg(vm::Interp& ctx, vm::Value v);
// The images an image or image list stands for, in order.
std::vector<Image*> images_of(vm::Value v);

// Reads a whole name through the resource search: the name as given, then,
// when its file part has no extension, with each extension in turn; false
// when not found.
bool open_with_extensions(vm::Interp& ctx, std::string_view name, std::span<const char* const> extensions,
                          std::string& bytes);
// open_with_extensions with the image extension list.
bool open_image_file(vm::Interp& ctx, std::string_view name, std::string& bytes);

}  // namespace gfx
