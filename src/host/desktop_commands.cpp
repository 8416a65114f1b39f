// Desktop services: the clipboard, message boxes, file dialogs, web pages,
// the picture of the desktop, the wallpaper, shutting down and the about
// box.
//
// Dialogs can be answered by scripted input ("answer" lines of --events):
// an answer that is due is taken instead of showing the dialog, with a
// window system or without. Without a window system and without an
// answer, a message box writes its text on standard error and takes its
// default button, and a file dialog is cancelled. What changes the desktop
// or ends the session (desktopwallpaper, sysshutdown) asks the user first
// and, without a window system, only says what it would have done.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "commands/app.h"
#include "graphics/draw.h"
#include "graphics/image.h"
#include "graphics/image_load.h"
#include "host/event_script.h"
#include "host/window.h"
#include "host/window_state.h"
#include "platform/desktop_tools.h"
#include "platform/platform.h"
#include "storage/files.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace vm {
namespace {

using storage::TextArg;

bool folded_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  return true;
}

// Puts an image (or null) into the variable that `var` names, when it
// names one, and leaves it as the result.
void finish_image(Interp& ctx, uint32_t n, Value var, uint32_t handle) {
  Value result = handle ? Value::from_handle(handle) : Value::null();
  if (element_type_of(var) == kTypeString || element_type_of(var) == kTypeArrayPath)
    if (Value* cell = var_for_set(ctx, var)) value_store(*cell, result);
  pop_n(ctx, n);
  push_owned(ctx, result);
}

// --- message boxes --------------------------------------------------------------

// The system's button numbers, which scripts compare results with.
enum Button { kOk = 1, kCancel = 2, kAbort = 3, kRetry = 4, kIgnore = 5, kYes = 6, kNo = 7 };
constexpr const char* kButtonNames[] = {"", "ok", "cancel", "abort", "retry", "ignore", "yes", "no"};
constexpr const char* kButtonLabels[] = {"", "OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No"};

struct BoxStyle {
  std::vector<int> buttons{kOk};
  int default_index = 0;
  int icon = 0;  // 0 none, 1 error, 2 warning, 3 information
};

// A style number in the system's bits (0..5 the button set, 0x10 error,
// 0x20 question, 0x30 warning, 0x40 information, 0x100 and 0x200 the
// second and third button as default) or words: ok, okcancel,
// abortretryignore, yesnocancel, yesno, retrycancel, error, question,
// warning, information, default2, default3.
BoxStyle box_style(Interp& ctx, Value v) {
  static const std::vector<int> kSets[] = {
      {kOk}, {kOk, kCancel}, {kAbort, kRetry, kIgnore}, {kYes, kNo, kCancel}, {kYes, kNo}, {kRetry, kCancel}};
  BoxStyle s;
  int64_t bits = 0;
  if (v.is_int() || v.is_float()) {
    bits = value_to_integer(&ctx, v);
  } else {
    TextArg text(ctx, v);
    std::string_view t = text.view();
    static const struct {
      const char* word;
      int64_t bits;
    } kWords[] = {{"ok", 0},          {"okcancel", 1},   {"abortretryignore", 2}, {"yesnocancel", 3},
                  {"yesno", 4},       {"retrycancel", 5}, {"error", 0x10},         {"stop", 0x10},
                  {"question", 0x20}, {"warning", 0x30}, {"exclamation", 0x30},   {"information", 0x40},
                  {"asterisk", 0x40}, {"default2", 0x100}, {"default3", 0x200}};
    while (!t.empty()) {
      size_t end = t.find_first_of(" ,|+");
      std::string_view word = t.substr(0, end);
      t.remove_prefix(end == std::string_view::npos ? t.size() : end + 1);
      for (const auto& w : kWords)
        if (folded_equal(word, w.word)) bits |= w.bits;
    }
  }
  if ((bits & 15) < 6) s.buttons = kSets[bits & 15];
  static const int kIcons[] = {0, 1, 3, 2, 3};
  s.icon = kIcons[std::min<int64_t>((bits >> 4) & 7, 4)];
  int def = int((bits >> 8) & 3);
  s.default_index = def < int(s.buttons.size()) ? def : 0;
  return s;
}

// Asks with the buttons of the style: a scripted answer naming one of
// them when one is due, else the platform's box. The button's number.
int ask(const std::string& caption, const std::string& text, const BoxStyle& style) {
  std::string answer;
  if (host::next_scripted_answer(answer)) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    for (int b : style.buttons)
      if (folded_equal(answer, kButtonNames[b])) return b;
    std::fprintf(stderr, "quillon: the answer \"%s\" names no button of the message box; taking the default\n",
                 answer.c_str());
    return style.buttons[size_t(style.default_index)];
  }
  std::vector<std::string> labels;
  int escape = -1;
  for (size_t i = 0; i < style.buttons.size(); i++) {
    labels.push_back(kButtonLabels[style.buttons[i]]);
    if (style.buttons[i] == kCancel) escape = int(i);
  }
  if (style.buttons.size() == 1) escape = 0;
  int pressed = host::platform_get().ask(caption.c_str(), text.c_str(), labels, style.default_index, escape, style.icon);
  if (pressed < 0 || size_t(pressed) >= style.buttons.size()) pressed = style.default_index;
  return style.buttons[size_t(pressed)];
}

// Asks the user to confirm an action that changes the desktop or the session.
bool confirm(const std::string& question) {
  BoxStyle s;
  s.buttons = {kYes, kNo};
  s.default_index = 1;
  s.icon = 2;
  return ask("Quillon", question, s) == kYes;
}

// --- file dialogs -------------------------------------------------------------

// The patterns of a filter "Name|*.a;*.b|Other|*.*" as (name, patterns
// separated by blanks) pairs; a filter without "|" is one pattern list.
std::vector<std::pair<std::string, std::string>> filters(std::string_view f) {
  std::vector<std::string> parts;
  while (!f.empty()) {
    size_t end = f.find('|');
    parts.emplace_back(f.substr(0, end));
    f.remove_prefix(end == std::string_view::npos ? f.size() : end + 1);
  }
  std::vector<std::pair<std::string, std::string>> out;
  if (parts.size() == 1) parts = {parts[0], parts[0]};
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    std::string patterns = parts[i + 1];
    for (char& c : patterns)
      if (c == ';' || c == ',') c = ' ';
    if (patterns.find_first_not_of(' ') != std::string::npos) out.emplace_back(parts[i], patterns);
  }
  return out;
}

// fileopendialog / filesavedialog [title] [filter] [start]: the chosen
// file, "" when cancelled. zenity or kdialog shows the dialog.
void file_dialog(Interp& ctx, bool save) {
  uint32_t n = close_frame(ctx);
  std::string title = TextArg(ctx, arg(ctx, n, 0)).str();
  if (title.empty()) title = save ? "Save As" : "Open";
  auto list = filters(TextArg(ctx, arg(ctx, n, 1)).view());
  std::string start = TextArg(ctx, arg(ctx, n, 2)).str();
  std::string answer;
  if (host::next_scripted_answer(answer) || host::platform_get().headless()) {
    storage::finish_text(ctx, n, answer);
    return;
  }
  std::vector<std::string> argv;
  if (platform::have_tool("zenity")) {
    argv = {"zenity", "--file-selection", "--title=" + title};
    if (save) argv.insert(argv.end(), {"--save", "--confirm-overwrite"});
    if (!start.empty()) argv.push_back("--filename=" + start);
    for (const auto& [name, patterns] : list) argv.push_back("--file-filter=" + name + " | " + patterns);
  } else if (platform::have_tool("kdialog")) {
    std::string filter;
    for (const auto& [name, patterns] : list) filter += (filter.empty() ? "" : "\n") + patterns + "|" + name;
    argv = {"kdialog", "--title", title, save ? "--getsavefilename" : "--getopenfilename", start.empty() ? "." : start};
    if (!filter.empty()) argv.push_back(filter);
  } else {
    std::fprintf(stderr, "quillon: %s: no file dialog (zenity or kdialog) is installed\n",
                 save ? "filesavedialog" : "fileopendialog");
    storage::finish_text(ctx, n, "");
    return;
  }
  std::string chosen;
  host::present_held();  // the dialog waits for the user over the window
  if (platform::run_tool(argv, nullptr, &chosen, -1) != 0) chosen.clear();
  while (!chosen.empty() && (chosen.back() == '\n' || chosen.back() == '\r')) chosen.pop_back();
  storage::finish_text(ctx, n, chosen);
}

// --- desktop ------------------------------------------------------------------

// A picture of the screen through the display server's tools: grim on
// Wayland, ImageMagick's import on X11. False when there is none.
bool screenshot_png(std::string& png) {
  host::present_held();  // the picture shows the window's latest drawing
  int rc = -1;
  if (platform::wayland_session() && platform::have_tool("grim"))
    rc = platform::run_tool({"grim", "-t", "png", "-"}, nullptr, &png, 10000);
  else if (std::getenv("DISPLAY") && platform::have_tool("import"))
    rc = platform::run_tool({"import", "-silent", "-window", "root", "png:-"}, nullptr, &png, 10000);
  return rc == 0 && !png.empty();
}

bool acceptable_url(std::string_view url) {
  for (char c : url)
    if (uint8_t(c) <= 0x20 || c == 0x7F) return false;
  for (std::string_view scheme : {"http://", "https://", "file://"})
    if (url.size() > scheme.size() && folded_equal(url.substr(0, scheme.size()), scheme)) return true;
  return false;
}

}  // namespace

// clipboardputtext text: puts the text on the clipboard.
void h_clipboardputtext(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  host::platform_get().set_clipboard(TextArg(ctx, arg(ctx, n, 0)).str());
  pop_n(ctx, n);
}

// clipboardgettext: the clipboard's text, "" when it holds none.
void h_clipboardgettext(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  storage::finish_text(ctx, n, host::platform_get().clipboard());
}

// clipboardclear: empties the clipboard.
void h_clipboardclear(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  host::platform_get().clear_clipboard();
  pop_n(ctx, n);
}

// clipboardputimage image: puts the image (the first of a list) on the
// clipboard as a PNG picture.
void h_clipboardputimage(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::vector<gfx::Image*> images = gfx::images_of(gfx::image_arg(ctx, arg(ctx, n, 0)));
  if (!images.empty() && images[0]) {
    auto png = gfx::encode_png(*images[0]);
    if (!png.ok() ||
        !host::platform_get().set_clipboard_png(std::string(png.value().begin(), png.value().end())))
      std::fprintf(stderr, "quillon: clipboardputimage: the picture could not be put on the clipboard%s%s\n",
                   png.ok() ? "" : ": ", png.error().c_str());
  }
  pop_n(ctx, n);
}

// clipboardgetimage [variable]: a new image of the clipboard's picture
// (kept in the variable when one is named), null when there is none.
void h_clipboardgetimage(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string png;
  uint32_t handle = 0;
  if (host::platform_get().clipboard_png(png)) {
    auto img = gfx::read_png(reinterpret_cast<const uint8_t*>(png.data()), png.size(), gfx::target(ctx));
    if (img.ok()) handle = img.value();
  }
  finish_image(ctx, n, arg(ctx, n, 0), handle);
}

// messagebox text [caption] [style]: shows the text (under the caption,
// "Quillon" when none is given) with the style's
// buttons; the number of the button pressed (1 OK, 2 Cancel, 3 Abort,
// 4 Retry, 5 Ignore, 6 Yes, 7 No).
void h_messagebox(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string text = TextArg(ctx, arg(ctx, n, 0)).str();
  std::string caption = TextArg(ctx, arg(ctx, n, 1)).str();
  if (caption.empty()) caption = "Quillon";
  BoxStyle style = box_style(ctx, arg(ctx, n, 2));
  storage::finish_int(ctx, n, ask(caption, text, style));
}

void h_fileopendialog(Interp& ctx) { file_dialog(ctx, false); }
void h_filesavedialog(Interp& ctx) { file_dialog(ctx, true); }

// netopenwebpage url: opens an http, https or file address with the
// desktop's opener (xdg-open) and does not wait. Without a window system
// it only says so.
void h_netopenwebpage(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string url = TextArg(ctx, arg(ctx, n, 0)).str();
  if (!acceptable_url(url))
    std::fprintf(stderr, "quillon: netopenwebpage: \"%s\" is no http, https or file address\n", url.c_str());
  else if (host::platform_get().headless())
    std::fprintf(stderr, "quillon: netopenwebpage: would open %s\n", url.c_str());
  else if (spawn_program({"xdg-open", url}) == 0)
    std::fprintf(stderr, "quillon: netopenwebpage: xdg-open could not be started\n");
  pop_n(ctx, n);
}

// desktopget [variable]: a 24-bit picture of the screen; where the display
// server gives none (and without a window system), an image of the
// desktop's size in the drawing background colour.
void h_desktopget(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uint32_t handle = 0;
  std::string png;
  if (!host::platform_get().headless() && screenshot_png(png)) {
    auto img = gfx::read_png(reinterpret_cast<const uint8_t*>(png.data()), png.size(), gfx::target(ctx));
    if (img.ok()) handle = img.value();
  }
  if (!handle) {
    platform::Desktop d = host::script_desktop();
    std::string error;
    handle = gfx::image_new(d.width, d.height, 24, gfx::target(ctx), nullptr, 0, &error);
    gfx::Image* img = gfx::image_of(handle);
    if (img && img->pixels) {
      const gfx::Image* t = gfx::target(ctx);
      gfx::fill_rect(*img, 0, 0, img->width() - 1, img->height() - 1, t ? t->st.back : 0);
    }
  }
  finish_image(ctx, n, arg(ctx, n, 0), handle);
}

// desktopwallpaper file: after the user agrees, makes the picture the
// desktop's wallpaper through the desktop's own settings (GNOME's
// gsettings, KDE's plasma-apply-wallpaperimage).
void h_desktopwallpaper(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string file = TextArg(ctx, arg(ctx, n, 0)).str();
  pop_n(ctx, n);
  char resolved[4096];
  std::string path = !file.empty() && ::realpath(file.c_str(), resolved) ? resolved : "";
  if (path.empty()) {
    std::fprintf(stderr, "quillon: desktopwallpaper: \"%s\" is no file\n", file.c_str());
  } else if (host::platform_get().headless()) {
    std::fprintf(stderr, "quillon: desktopwallpaper: would ask to make %s the wallpaper\n", file.c_str());
  } else if (confirm("Make " + path + " the desktop wallpaper?")) {
    bool done = false;
    if (platform::have_tool("gsettings")) {
      std::string uri = "file://" + path;
      done = platform::run_tool({"gsettings", "set", "org.gnome.desktop.background", "picture-uri", uri}, nullptr,
                                nullptr, 10000) == 0;
      platform::run_tool({"gsettings", "set", "org.gnome.desktop.background", "picture-uri-dark", uri}, nullptr,
                         nullptr, 10000);
    }
    if (!done && platform::have_tool("plasma-apply-wallpaperimage"))
      done = platform::run_tool({"plasma-apply-wallpaperimage", path}, nullptr, nullptr, 10000) == 0;
    if (!done) std::fprintf(stderr, "quillon: desktopwallpaper: the desktop offers no way to set the wallpaper\n");
  }
}

// sysshutdown [mode]: after the user agrees, ends the session: "logoff"
// logs out, "reboot" (or "restart") restarts, anything else powers off,
// through systemd's logind (systemctl, loginctl).
void h_sysshutdown(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string mode = TextArg(ctx, arg(ctx, n, 0)).str();
  pop_n(ctx, n);
  bool logoff = folded_equal(mode, "logoff"), reboot = folded_equal(mode, "reboot") || folded_equal(mode, "restart");
  const char* what = logoff ? "log out" : reboot ? "restart the computer" : "shut the computer down";
  if (host::platform_get().headless()) {
    std::fprintf(stderr, "quillon: sysshutdown: would ask to %s\n", what);
    return;
  }
  if (!confirm(std::string("Do you want to ") + what + " now?")) return;
  const char* session = std::getenv("XDG_SESSION_ID");
  std::vector<std::string> argv = logoff    ? std::vector<std::string>{"loginctl", "terminate-session", session ? session : ""}
                                  : reboot ? std::vector<std::string>{"systemctl", "reboot"}
                                           : std::vector<std::string>{"systemctl", "poweroff"};
  if (platform::run_tool(argv, nullptr, nullptr, 10000) != 0)
    std::fprintf(stderr, "quillon: sysshutdown: the system refused to %s\n", what);
}

// corvaneaboutbox: the about box that the About key shows.
void h_corvaneaboutbox(Interp& ctx) {
  pop_n(ctx, close_frame(ctx));
  host::show_about(ctx);
}

}  // namespace vm
