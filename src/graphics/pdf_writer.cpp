#include "graphics/pdf_writer.h"

#include <zlib.h>

#include <cmath>
#include <cstdio>

namespace gfx {

namespace {

// A number with at most two decimals, written without locale or exponent.
std::string num(double v) {
  long long c = std::llround(v * 100);
  std::string s = c < 0 ? "-" : "";
  unsigned long long a = c < 0 ? 0ULL - (unsigned long long)c : (unsigned long long)c;
  s += std::to_string(a / 100);
  unsigned frac = unsigned(a % 100);
  if (frac) {
    s += '.';
    s += char('0' + frac / 10);
    if (frac % 10) s += char('0' + frac % 10);
  }
  return s;
}

std::string deflate(const std::string& raw) {
  uLongf size = compressBound(uLong(raw.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
                uLong(raw.size()), 6) != Z_OK)
    return std::string();
  out.resize(size);
  return out;
}

std::string stream_object(const std::string& dict_entries, const std::string& data) {
  return "<< " + dict_entries + " /Filter /FlateDecode /Length " + std::to_string(data.size()) + " >>\nstream\n" +
         data + "\nendstream";
}

}  // namespace

int PdfWriter::add_object(std::string body) {
  if (objects_.empty()) objects_.resize(2);  // catalog and page tree come first
  objects_.push_back(std::move(body));
  return int(objects_.size());
}

void PdfWriter::begin_page(double width, double height) {
  if (page_open_) end_page();
  page_open_ = true;
  page_w_ = width;
  page_h_ = height;
  content_.clear();
  page_images_.clear();
}

void PdfWriter::add_image(const Image& img, double x, double y, double w, double h) {
  if (!page_open_ || img.width() <= 0 || img.height() <= 0) return;
  std::string rgb;
  rgb.reserve(size_t(img.width()) * size_t(img.height()) * 3);
  for (int32_t py = 0; py < img.height(); py++) {
    for (int32_t px = 0; px < img.width(); px++) {
      uint32_t c = get_pixel(img, px, py);
      rgb += char((c >> 16) & 0xFF);
      rgb += char((c >> 8) & 0xFF);
      rgb += char(c & 0xFF);
    }
  }
  int obj = add_object(stream_object("/Type /XObject /Subtype /Image /Width " + std::to_string(img.width()) +
                                         " /Height " + std::to_string(img.height()) +
                                         " /ColorSpace /DeviceRGB /BitsPerComponent 8",
                                     deflate(rgb)));
  page_images_.push_back(obj);
  // PDF places y upwards from the bottom of the page; the picture's unit
  // square is stretched to w x h with its top at y from the page's top.
  content_ += "q " + num(w) + " 0 0 " + num(h) + " " + num(x) + " " + num(page_h_ - y - h) + " cm /Im" +
              std::to_string(page_images_.size()) + " Do Q\n";
}

void PdfWriter::end_page() {
  if (!page_open_) return;
  page_open_ = false;
  int contents = add_object(stream_object("", deflate(content_)));
  std::string resources = "<< /XObject << ";
  for (size_t i = 0; i < page_images_.size(); i++)
    resources += "/Im" + std::to_string(i + 1) + " " + std::to_string(page_images_[i]) + " 0 R ";
  resources += ">> >>";
  int page = add_object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + num(page_w_) + " " + num(page_h_) +
                        "] /Resources " + resources + " /Contents " + std::to_string(contents) + " 0 R >>");
  page_objects_.push_back(page);
  content_.clear();
  page_images_.clear();
}

std::string PdfWriter::finish() {
  if (page_open_) end_page();
  if (objects_.empty()) objects_.resize(2);
  objects_[0] = "<< /Type /Catalog /Pages 2 0 R >>";
  std::string kids;
  for (size_t i = 0; i < page_objects_.size(); i++) {
    if (i) kids += ' ';
    kids += std::to_string(page_objects_[i]) + " 0 R";
  }
  objects_[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(page_objects_.size()) + " >>";

  // The binary comment line marks the file as 8-bit data for transfer tools.
  std::string out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects_.size(); i++) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects_[i] + "\nendobj\n";
  }
  size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects_.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t off : offsets) {
    char line[21];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", off);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(objects_.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  objects_.clear();
  page_objects_.clear();
  return out;
}

}  // namespace gfx
