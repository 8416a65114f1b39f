// Printing: a document of pages, each holding pictures at their physical
// size, made as PDF (graphics/pdf_writer.h) and sent at `printend` to the
// chosen CUPS queue, or written to a file when the chosen printer is
// "file:PATH".
//
//   printselect [name]       chooses the printer: no name or "" the default
//                            queue, "file:PATH" a PDF file; 1 or 0
//   printset key, value ...  paper (A3, A4, A5, Letter, Legal), orientation
//                            (portrait, landscape), copies, title
//   printsettings [key]      a setting, or "printers", "default", "pages",
//                            "error" (the message of the last failure)
//   printstart [title]       opens a document; 1 or 0
//   printstartpage           opens a page (ending an open one)
//   printimage image [, x, y] / printwindow [x, y] / printdesktop [x, y]
//                            places a picture at x, y dots of its own
//                            density from the page's top-left corner
//   printendpage, printend   end the page; end the document and print it
//
// A command that fails leaves its message for `printsettings "error"` (and
// the commands with a result give 0); one that succeeds clears it.
#include <cstdio>
#include <string>
#include <string_view>

#include "graphics/draw.h"
#include "graphics/image.h"
#include "graphics/image_load.h"
#include "graphics/pdf_writer.h"
#include "platform/printers.h"
#include "storage/files.h"
#include "storage/stream.h"
#include "vm/ascii.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace vm {

namespace {

using storage::TextArg;

struct Paper {
  const char* name;
  double width, height;  // points, portrait
};
constexpr Paper kPapers[] = {
    {"A3", 842, 1191}, {"A4", 595, 842}, {"A5", 420, 595}, {"Letter", 612, 792}, {"Legal", 612, 1008},
};
constexpr int kMaxCopies = 999;
constexpr double kDefaultDensity = 96;

struct PrintState {
  std::string printer;      // the chosen queue, or "file:PATH"; "" before a choice
  int paper = 1;            // index into kPapers
  bool landscape = false;
  int copies = 1;
  std::string title = "Quillon";
  bool started = false;     // a document is open
  std::string doc_title;
  gfx::PdfWriter doc;
  std::string error;        // the message of the last failed command
};

PrintState& state() {
  static PrintState s;
  return s;
}

bool same_word(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

bool is_file_printer(std::string_view name) { return name.size() > 5 && same_word(name.substr(0, 5), "file:"); }

void set_text_var(Interp& ctx, SysVar var, std::string_view s) {
  uint32_t h = text_intern(s);
  value_store(ctx.sysvars[var], Value::from_handle(h));
  element_release(h);
}

// Fails the current command with `message`.
void fail(std::string message) { state().error = std::move(message); }

double page_width() {
  const Paper& p = kPapers[state().paper];
  return state().landscape ? p.height : p.width;
}
double page_height() {
  const Paper& p = kPapers[state().paper];
  return state().landscape ? p.width : p.height;
}

// Chooses a printer by name ("" the default queue); false with the reason
// kept when there is none such.
bool choose(Interp& ctx, std::string_view name) {
  PrintState& s = state();
  std::string chosen;
  if (is_file_printer(name)) {
    chosen = std::string(name);
  } else {
    platform::PrinterList list = platform::list_printers();
    if (!list.server || list.names.empty()) {
      fail(list.error);
      return false;
    }
    if (name.empty()) {
      if (list.default_name.empty()) {
        fail("no default printer is set");
        return false;
      }
      chosen = list.default_name;
    } else {
      for (const std::string& queue : list.names)
        if (same_word(queue, name)) chosen = queue;
      if (chosen.empty()) {
        fail("no printer is named " + std::string(name));
        return false;
      }
    }
  }
  s.printer = chosen;
  set_text_var(ctx, SV_var_printname, chosen);
  set_text_var(ctx, SV_var_printfilename, is_file_printer(chosen) ? std::string_view(chosen).substr(5) : "");
  return true;
}

// The picture an argument stands for: an image, an image list (its first
// image) or the name of a variable holding one. Files are not loaded: only
// pictures in memory are printed.
gfx::Image* picture_arg(Interp& ctx, Value v) {
  if (element_type_of(v) == kTypeString || element_type_of(v) == kTypeArrayPath) {
    Value* cell = var_find(ctx, v);
    if (!cell) return nullptr;
    v = *cell;
  }
  std::vector<gfx::Image*> images = gfx::images_of(v);
  return images.empty() ? nullptr : images.front();
}

// Places `img` on the open page at x, y (arguments at and at + 1, dots of
// the picture's density).
void place(Interp& ctx, uint32_t n, uint32_t at, gfx::Image* img) {
  PrintState& s = state();
  if (!s.started || !s.doc.page_open()) {
    fail("no page is started");
    return;
  }
  if (!img) {
    fail("no picture to print");
    return;
  }
  double dx = img->st.density_x > 0 ? img->st.density_x : kDefaultDensity;
  double dy = img->st.density_y > 0 ? img->st.density_y : kDefaultDensity;
  double x = double(value_to_integer(&ctx, arg(ctx, n, at))) * 72 / dx;
  double y = double(value_to_integer(&ctx, arg(ctx, n, at + 1))) * 72 / dy;
  s.doc.add_image(*img, x, y, img->width() * 72 / dx, img->height() * 72 / dy);
}

// Writes a new file beside `path` and puts it in place only when whole, so
// a failed write leaves a file already there as it was.
bool write_file(const std::string& path, const std::string& bytes) {
  std::string part = path + ".part";
  FILE* f = std::fopen(part.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fclose(f) == 0 && ok;
  if (ok && std::rename(part.c_str(), path.c_str()) == 0) return true;
  std::remove(part.c_str());
  return false;
}

}  // namespace

void h_printselect(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  state().error.clear();
  std::string name = n ? TextArg(ctx, arg(ctx, n, 0)).str() : std::string();
  storage::finish_int(ctx, n, choose(ctx, name) ? 1 : 0);
}

void h_printset(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  PrintState& s = state();
  s.error.clear();
  for (uint32_t i = 0; i < n; i += 2) {
    std::string key = TextArg(ctx, arg(ctx, n, i)).str();
    std::string value = TextArg(ctx, arg(ctx, n, i + 1)).str();
    if (same_word(key, "paper")) {
      int found = -1;
      for (int p = 0; p < int(std::size(kPapers)); p++)
        if (same_word(value, kPapers[p].name)) found = p;
      if (found < 0) fail("unknown paper " + value);
      else s.paper = found;
    } else if (same_word(key, "orientation")) {
      if (same_word(value, "portrait")) s.landscape = false;
      else if (same_word(value, "landscape")) s.landscape = true;
      else fail("unknown orientation " + value);
    } else if (same_word(key, "copies")) {
      int64_t c = value_to_integer(&ctx, arg(ctx, n, i + 1));
      if (c < 1 || c > kMaxCopies) fail("copies must be 1 to 999");
      else s.copies = int(c);
    } else if (same_word(key, "title")) {
      s.title = value;
    } else {
      fail("unknown print setting " + key);
    }
  }
  storage::finish_none(ctx, n);
}

void h_printsettings(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  PrintState& s = state();
  std::string key = n ? TextArg(ctx, arg(ctx, n, 0)).str() : "printer";
  std::string out;
  if (same_word(key, "printer")) {
    out = s.printer;
  } else if (same_word(key, "printers") || same_word(key, "default")) {
    platform::PrinterList list = platform::list_printers();
    if (same_word(key, "default")) {
      out = list.default_name;
    } else {
      for (const std::string& queue : list.names) out += queue + "\r\n";
    }
    s.error = list.names.empty() ? list.error : std::string();
  } else if (same_word(key, "paper")) {
    out = kPapers[s.paper].name;
  } else if (same_word(key, "orientation")) {
    out = s.landscape ? "landscape" : "portrait";
  } else if (same_word(key, "copies")) {
    out = std::to_string(s.copies);
  } else if (same_word(key, "title")) {
    out = s.title;
  } else if (same_word(key, "pages")) {
    out = std::to_string(s.started ? s.doc.pages() + (s.doc.page_open() ? 1 : 0) : 0);
  } else if (same_word(key, "error")) {
    out = s.error;
  } else {
    fail("unknown print setting " + key);
  }
  storage::finish_text(ctx, n, out);
}

void h_printstart(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  PrintState& s = state();
  s.error.clear();
  bool ok = false;
  if (s.started) {
    fail("a document is already started");
  } else if (s.printer.empty() && !choose(ctx, "")) {
    // the reason is kept by choose()
  } else {
    s.started = true;
    s.doc_title = n ? TextArg(ctx, arg(ctx, n, 0)).str() : std::string();
    if (s.doc_title.empty()) s.doc_title = s.title;
    ok = true;
  }
  storage::finish_int(ctx, n, ok ? 1 : 0);
}

void h_printstartpage(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  PrintState& s = state();
  s.error.clear();
  if (!s.started) fail("no document is started");
  else s.doc.begin_page(page_width(), page_height());
  storage::finish_none(ctx, n);
}

void h_printimage(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  state().error.clear();
  place(ctx, n, 1, n ? picture_arg(ctx, arg(ctx, n, 0)) : nullptr);
  storage::finish_none(ctx, n);
}

void h_printwindow(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  state().error.clear();
  place(ctx, n, 0, gfx::frame(ctx));
  storage::finish_none(ctx, n);
}

// The desktop outside the window cannot be read on every display server
// (Wayland forbids it); what the player shows of the desktop is its window.
void h_printdesktop(Interp& ctx) { h_printwindow(ctx); }

void h_printendpage(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  PrintState& s = state();
  s.error.clear();
  if (!s.started || !s.doc.page_open()) fail("no page is started");
  else s.doc.end_page();
  storage::finish_none(ctx, n);
}

void h_printend(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  PrintState& s = state();
  s.error.clear();
  if (!s.started) {
    fail("no document is started");
  } else {
    bool empty = s.doc.pages() == 0 && !s.doc.page_open();
    std::string pdf = s.doc.finish();
    s.started = false;
    std::string error;
    if (empty) {
      fail("the document has no page");
    } else if (is_file_printer(s.printer)) {
      if (!write_file(s.printer.substr(5), pdf)) fail("cannot write " + s.printer.substr(5));
    } else if (!platform::print_pdf(s.printer, s.doc_title, pdf, s.copies, error)) {
      fail(error);
    }
  }
  storage::finish_none(ctx, n);
}

}  // namespace vm
