// The platform layer: the one place that talks to the window system. The
// host asks it for the desktop, windows, events, the clock and message
// boxes. Two backends: headless (everything in memory, no display needed)
// and SDL2 (a real window with a streaming texture).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct Desktop {
  int32_t width = 1920;
  int32_t height = 1080;
  int32_t bits = 24;
};

// Bits of the style word that the player sets or tests itself.
inline constexpr uint32_t kStylePopup = 0x80000000u;  // no frame
inline constexpr uint32_t kStyleChild = 0x40000000u;
inline constexpr uint32_t kStyleVisible = 0x10000000u;
inline constexpr uint32_t kStyleClipChildren = 0x02000000u;
inline constexpr uint32_t kStyleBorder = 0x00800000u;
inline constexpr uint32_t kStyleDialogFrame = 0x00400000u;
inline constexpr uint32_t kStyleSysMenu = 0x00080000u;
inline constexpr uint32_t kStyleThickFrame = 0x00040000u;
inline constexpr uint32_t kStyleMinimizeBox = 0x00020000u;
inline constexpr uint32_t kStyleMaximizeBox = 0x00010000u;

// What a window looks like; the style is the design's style word (bit 31:
// popup, no frame).
struct WindowSpec {
  std::string title;
  int32_t x = 0, y = 0;
  int32_t width = 640, height = 480;  // client size
  uint32_t style = 0;
  bool shown = true;
  bool minimized = false;
  bool topmost = false;
  // Draw into this existing window of the window system (an X window id)
  // instead of opening one: a screen saver's window or a preview's parent.
  // The window is not moved, resized or restyled, and not destroyed.
  uint64_t embed_in = 0;
};

enum class EventKind : uint8_t { Close, MouseMove, MouseDown, MouseUp, KeyDown, KeyUp, Text };

// The keys of key events: a character key is its unshifted character (a to
// z, 0 to 9, space and the punctuation keys); other keys have names.
enum Key : int32_t {
  kKeyNone = 0,
  kKeyNamed = 0x1000,
  kKeyBackspace = kKeyNamed, kKeyTab, kKeyReturn, kKeyEscape, kKeyPageUp, kKeyPageDown, kKeyEnd, kKeyHome,
  kKeyLeft, kKeyUp, kKeyRight, kKeyDown, kKeyInsert, kKeyDelete,
  kKeyF1, kKeyF2, kKeyF3, kKeyF4, kKeyF5, kKeyF6, kKeyF7, kKeyF8, kKeyF9, kKeyF10, kKeyF11, kKeyF12,
  kKeyPad0, kKeyPad1, kKeyPad2, kKeyPad3, kKeyPad4, kKeyPad5, kKeyPad6, kKeyPad7, kKeyPad8, kKeyPad9,
  kKeyPadMultiply, kKeyPadPlus, kKeyPadMinus, kKeyPadPeriod, kKeyPadDivide, kKeyPadEnter,
  kKeyShift, kKeyCtrl, kKeyAlt,
  kKeyOther,  // a key without a use here (its character, if any, comes as text)
};

// Modifier bits of key events.
enum : uint16_t { kModShift = 1, kModCtrl = 2, kModAlt = 4 };

struct Event {
  EventKind kind = EventKind::Close;
  uint32_t window = 0;   // id() of the window it came to, 0 when unknown
  int32_t x = 0, y = 0;  // mouse position in window coordinates
  int32_t code = 0;      // button (1 left, 2 right, 3 middle) or Key
  uint16_t mods = 0;     // kMod... bits held during a key or mouse event
  std::string text;      // typed text (UTF-8)
};

class Window {
 public:
  virtual ~Window() = default;
  virtual void set_title(const std::string& title) = 0;
  virtual void move(int32_t x, int32_t y) = 0;
  virtual void resize(int32_t width, int32_t height) = 0;
  virtual void set_style(uint32_t style) = 0;
  virtual void show(bool shown) = 0;
  virtual void minimize() = 0;
  // Back from minimized (the size is fixed, so maximizing restores too).
  virtual void restore() = 0;
  // To the front with the input focus.
  virtual void raise() = 0;
  virtual void set_topmost(bool on) = 0;
  // Shows one colour all over (the background window).
  virtual void fill(uint32_t rgb) = 0;
  // Moves the pointer to a point of the window.
  virtual void warp_pointer(int32_t x, int32_t y) = 0;
  // Names the window in the events it receives.
  virtual uint32_t id() const = 0;
  // Copies the rectangle (x, y, w, h) of a top-down 32-bit BGRA picture of
  // frame_w x frame_h pixels (stride in bytes) to the same place of the
  // window, stretched when the window's size differs from the frame's, and
  // shows it. The rectangle is clipped to the picture. A window system's
  // window that showed a picture a few milliseconds ago may hold the
  // showing back (see Platform::present_held).
  virtual void present(const uint8_t* bgra, int32_t stride, int32_t frame_w, int32_t frame_h, int32_t x,
                       int32_t y, int32_t w, int32_t h) = 0;
  // Copies several rectangles (x, y, w, h each) as present does and shows
  // the window once: a step that reveals hundreds of cells shows one
  // picture, not hundreds.
  struct Area {
    int32_t x, y, w, h;
  };
  virtual void present_areas(const uint8_t* bgra, int32_t stride, int32_t frame_w, int32_t frame_h,
                             const Area* areas, size_t count) {
    for (size_t i = 0; i < count; i++)
      present(bgra, stride, frame_w, frame_h, areas[i].x, areas[i].y, areas[i].w, areas[i].h);
  }
  virtual const WindowSpec& spec() const = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;
  virtual bool headless() const = 0;
  virtual Desktop desktop() const = 0;
  // Null when the window cannot be made.
  virtual std::unique_ptr<Window> create_window(const WindowSpec& spec) = 0;
  // Whether a window of the window system that WindowSpec::embed_in may
  // name exists (always true without a window system).
  virtual bool window_exists(uint64_t id) const {
    (void)id;
    return true;
  }
  // Takes the next waiting event; false when there is none. Also shows
  // what windows held back once they have waited long enough: a window
  // shows at most one picture in a few milliseconds, since each costs a
  // copy of the whole window.
  virtual bool poll_event(Event& out) = 0;
  // Shows at once what windows held back. sleep_ms, message_box and ask
  // do it first, and a window does it as it goes.
  virtual void present_held() {}
  // Milliseconds of a monotonic clock.
  virtual uint64_t now_ms() = 0;
  virtual void sleep_ms(uint32_t ms) = 0;
  virtual void message_box(const char* caption, const char* text) = 0;
  virtual void show_cursor(bool shown) = 0;
  // One of the system cursors (arrow, ibeam, wait, cross, hand, no,
  // sizeall, sizenesw, sizens, sizenwse, sizewe, ...); false when unknown.
  virtual bool set_cursor(const std::string& name) = 0;
  // A cursor made from w x h 0xAARRGGBB pixels (top row first) with its hot
  // spot; false when the window system refuses it.
  virtual bool set_custom_cursor(const uint32_t* argb, int32_t w, int32_t h, int32_t hot_x, int32_t hot_y) = 0;
  // The clipboard's text (UTF-8); without a window system, a text kept in
  // the process.
  virtual void set_clipboard(const std::string& utf8) { clipboard_ = utf8; }
  virtual std::string clipboard() { return clipboard_; }
  // A picture on the clipboard as PNG bytes, and the clipboard's picture;
  // false when it cannot be put or there is none. Without a window system,
  // a picture kept in the process; putting text or clearing drops it.
  virtual bool set_clipboard_png(const std::string& png) {
    clipboard_png_ = png;
    clipboard_.clear();
    return true;
  }
  virtual bool clipboard_png(std::string& png) {
    png = clipboard_png_;
    return !png.empty();
  }
  virtual void clear_clipboard() {
    clipboard_.clear();
    clipboard_png_.clear();
  }
  // A message box with up to three buttons (labels in order, left to
  // right) and the button that Return chooses; `icon` is 0 (none), 1
  // (error), 2 (warning) or 3 (information). The index of the button
  // pressed, `escape` when the box was closed without one.
  virtual int ask(const char* caption, const char* text, const std::vector<std::string>& buttons, int default_button,
                  int escape, int icon) = 0;
  // Where the input method shows its candidates: near this window area.
  virtual void set_text_input_rect(int32_t, int32_t, int32_t, int32_t) {}

 protected:
  std::string clipboard_;
  std::string clipboard_png_;
};

// The in-memory backend, with the given desktop.
std::unique_ptr<Platform> make_headless(const Desktop& desktop);
// The SDL2 backend; null with the reason in `why` when no display opens.
std::unique_ptr<Platform> make_sdl(std::string* why);

// The in-memory window surface of a headless window: window-size 0xAARRGGBB
// pixels (top row first), 0 until something was presented.
const std::vector<uint32_t>* headless_surface(const Window& window);

}  // namespace platform
