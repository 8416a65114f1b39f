#include "scripts/image_format.h"

#include <cstring>

namespace scripts {
namespace {

constexpr uint32_t kEndWord = 0x40000000u;

}  // namespace

std::string map_script_name(std::string_view name) {
  std::string out(name);
  size_t cut = out.rfind('/');
  if (cut == std::string::npos) cut = out.rfind('\\');
  if (cut == std::string::npos) cut = out.rfind(':');
  size_t part = cut == std::string::npos ? 0 : cut + 1;
  size_t dot = out.rfind('.');
  if (dot == std::string::npos || dot < part) return out;
  std::string ext = out.substr(dot);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  if (ext == ".qns" || ext == ".vks") out.replace(dot, std::string::npos, ".qnc");
  return out;
}

base::Status validate_image(const uint8_t* image, size_t size) {
  if (size < kHeaderSize || std::memcmp(image, kMagic, 8) != 0) return base::Failure{"not a compiled script"};
  ImageHeader h = image_header(image);
  if (h.total != size) return base::Failure{"the length in the header does not match the file"};
  uint64_t tables = uint64_t(kHeaderSize) + 4ull * h.words + 2ull * h.names;
  if (h.words == 0 || tables > size) return base::Failure{"the code and name tables run past the end"};
  const uint8_t* lengths = image + kHeaderSize + 4ull * h.words;
  uint64_t text_bytes = 0;
  for (uint32_t i = 0; i < h.names; i++) text_bytes += base::load_le16(lengths + 2ull * i);
  if (tables + text_bytes != size) return base::Failure{"the name texts do not end at the end of the file"};
  const uint8_t* code = image + kHeaderSize;
  if (base::load_le32(code + 4ull * (h.words - 1)) != kEndWord) return base::Failure{"the code does not end with the end word"};
  for (uint32_t i = 0; i < h.words; i++) {
    uint32_t w = base::load_le32(code + 4ull * i);
    if (has_name_operand(w) && (w & 0xffffff) > h.names) return base::Failure{"a word names a name past the name table"};
  }
  return {};
}

std::vector<uint8_t> build_image(const std::vector<uint32_t>& words, const std::vector<std::string>& names) {
  std::vector<uint8_t> out(kMagic, kMagic + 8);
  size_t text = 0;
  for (const std::string& n : names) text += n.size();
  base::append_le32(out, uint32_t(kHeaderSize + 4 * words.size() + 2 * names.size() + text));
  base::append_le32(out, uint32_t(words.size()));
  base::append_le32(out, uint32_t(names.size()));
  for (uint32_t w : words) base::append_le32(out, w);
  for (const std::string& n : names) base::append_le16(out, uint16_t(n.size()));
  for (const std::string& n : names) out.insert(out.end(), n.begin(), n.end());
  return out;
}

}  // namespace scripts
