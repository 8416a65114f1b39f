// A small PDF writer for printed pages: each page holds pictures placed at
// a size in points (1/72 inch). Pictures are stored as Flate-compressed
// DeviceRGB image XObjects of 8 bits per component. The file carries no
// date and no document ID, so the same pages give the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "graphics/image.h"

namespace gfx {

class PdfWriter {
 public:
  // Opens a page of width x height points (ending an open page first).
  void begin_page(double width, double height);
  // Places `img` on the open page with its top-left corner x, y points from
  // the page's top-left corner, scaled to w x h points. Indexed images are
  // stored through their palette; an alpha channel is left out.
  void add_image(const Image& img, double x, double y, double w, double h);
  void end_page();
  bool page_open() const { return page_open_; }
  int pages() const { return int(page_objects_.size()); }
  // The whole file (ends an open page first). The writer may then be reused.
  std::string finish();

 private:
  int add_object(std::string body);

  std::vector<std::string> objects_;  // object i + 1; objects 1 and 2 (catalog, pages) are made by finish()
  std::vector<int> page_objects_;
  bool page_open_ = false;
  double page_w_ = 0, page_h_ = 0;
  std::string content_;               // drawing operators of the open page
  std::vector<int> page_images_;      // image objects of the open page
};

}  // namespace gfx
