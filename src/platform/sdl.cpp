// The SDL2 backend: one SDL window per window, each with an accelerated
// renderer and a streaming texture of the frame's size; the renderer does
// the stretching. The texture keeps the last frame shown, so a window whose
// pixels the window system dropped (shown again, uncovered) is drawn anew
// from it without the engine.
#include <SDL.h>
#include <SDL_syswm.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/desktop_tools.h"
#include "platform/lazy_library.h"
#include "platform/platform.h"

namespace platform {

namespace {

// SDL2 and the fifty libraries it brings were half of the player's
// start-up: it is opened when the first window system is asked for, which
// a headless run never does.
#define SDL_VIDEO_FUNCTIONS(X)                                                                             \
  X(SDL_CreateColorCursor) X(SDL_CreateRGBSurfaceWithFormatFrom) X(SDL_CreateRenderer)                     \
  X(SDL_CreateSystemCursor) X(SDL_CreateTexture) X(SDL_CreateWindow) X(SDL_CreateWindowFrom) X(SDL_Delay)  \
  X(SDL_DestroyRenderer) X(SDL_DestroyTexture) X(SDL_DestroyWindow) X(SDL_FreeCursor) X(SDL_FreeSurface)   \
  X(SDL_GetClipboardText) X(SDL_GetCurrentVideoDriver) X(SDL_GetDesktopDisplayMode) X(SDL_GetError)        \
  X(SDL_GetModState) X(SDL_GetTicks64) X(SDL_GetWindowData) X(SDL_GetWindowFromID) X(SDL_GetWindowID)      \
  X(SDL_GetWindowSize) X(SDL_GetWindowWMInfo) X(SDL_HideWindow) X(SDL_InitSubSystem) X(SDL_MinimizeWindow) \
  X(SDL_PollEvent) X(SDL_Quit) X(SDL_RaiseWindow) X(SDL_RenderClear) X(SDL_RenderCopy) X(SDL_RenderPresent) \
  X(SDL_RestoreWindow) X(SDL_SetClipboardText) X(SDL_SetCursor) X(SDL_SetRenderDrawColor)                  \
  X(SDL_SetTextInputRect) X(SDL_SetWindowAlwaysOnTop) X(SDL_SetWindowBordered) X(SDL_SetWindowData)        \
  X(SDL_SetWindowPosition) X(SDL_SetWindowSize) X(SDL_SetWindowTitle) X(SDL_ShowCursor)                    \
  X(SDL_ShowMessageBox) X(SDL_ShowSimpleMessageBox) X(SDL_ShowWindow) X(SDL_UpdateTexture)                 \
  X(SDL_WarpMouseInWindow) X(SDL_free)
SDL_VIDEO_FUNCTIONS(QUILLON_LAZY_POINTER)

#if defined(SDL_VIDEO_DRIVER_X11)
#define X11_FUNCTIONS(X)                                                                                  \
  X(XCloseDisplay) X(XGetWindowAttributes) X(XOpenDisplay) X(XSetErrorHandler) X(XSetIOErrorHandler) X(XSync)
X11_FUNCTIONS(QUILLON_LAZY_POINTER)
// libX11 1.7 and later: what runs instead of exit() after an I/O error.
void (*set_io_error_exit_handler)(Display*, void (*)(Display*, void*), void*) = nullptr;

bool x11_ready(std::string& why) {
  static LazyLibrary x11;
  return lazy_library_load(x11, {"libX11.so.6"}, [](void* lib) -> const char* {
    set_io_error_exit_handler = reinterpret_cast<decltype(set_io_error_exit_handler)>(
        lazy_library_symbol(lib, "XSetIOErrorExitHandler"));
    return X11_FUNCTIONS(QUILLON_LAZY_BIND) true ? nullptr : "this libX11 lacks a function the player calls";
  }, why);
}
#endif

bool sdl_video_ready(std::string& why) {
  static LazyLibrary sdl;
  return lazy_library_load(sdl, {"libSDL2-2.0.so.0", "libSDL2.so"}, [](void* lib) -> const char* {
    return SDL_VIDEO_FUNCTIONS(QUILLON_LAZY_BIND) true ? nullptr : "this SDL2 lacks a function the player calls";
  }, why);
}

constexpr const char* kSelfKey = "quillon.window";  // the SDL window's data: its SdlWindow

// The monotonic clock in nanoseconds, read in steps of a few milliseconds
// (4 ms on most systems): reading it costs nanoseconds, without a system call.
int64_t coarse_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Showing a picture costs a copy of the whole texture to the window (about a
// millisecond for 640 x 480 under a software OpenGL driver), whatever the
// engine changed. A window shows a burst of kShowBurst pictures at once, and
// then one each kShowGapNs, the burst coming back at that pace: a script's
// few drawings before a long command (a "Loading" line before a picture
// loads) all show at once, while a loop of thousands of drawings does not
// pay a copy each. A present beyond that goes into the texture and leaves
// the window owing a showing, made by the next ask for input once
// kShowGapNs passed since the last, or at once by present_held, sleep_ms,
// a message box or the window's end. The engine asks for input between
// every few script words, so a change reaches the screen within a few
// milliseconds (this time plus a step of the coarse clock).
constexpr int64_t kShowGapNs = 4000000;
constexpr int64_t kShowBurst = 16;

class SdlWindow;
// The windows that owe a showing, in the order they came to owe it.
std::vector<SdlWindow*> g_owing;

Event make_event(EventKind kind, uint32_t window, int32_t x = 0, int32_t y = 0, int32_t code = 0) {
  Event e;
  e.kind = kind;
  e.window = window;
  e.x = x;
  e.y = y;
  e.code = code;
  return e;
}

// SDL's key to ours: character keys by their unshifted character, the
// rest by name.
int32_t key_of(SDL_Keycode k) {
  if ((k >= 'a' && k <= 'z') || (k >= '0' && k <= '9')) return k;
  switch (k) {
    case SDLK_SPACE: case SDLK_SEMICOLON: case SDLK_EQUALS: case SDLK_COMMA: case SDLK_MINUS:
    case SDLK_PERIOD: case SDLK_SLASH: case SDLK_BACKQUOTE: case SDLK_LEFTBRACKET: case SDLK_RIGHTBRACKET:
    case SDLK_BACKSLASH: case SDLK_QUOTE:
      return k;
    case SDLK_BACKSPACE: return kKeyBackspace;
    case SDLK_TAB: return kKeyTab;
    case SDLK_RETURN: return kKeyReturn;
    case SDLK_ESCAPE: return kKeyEscape;
    case SDLK_PAGEUP: return kKeyPageUp;
    case SDLK_PAGEDOWN: return kKeyPageDown;
    case SDLK_END: return kKeyEnd;
    case SDLK_HOME: return kKeyHome;
    case SDLK_LEFT: return kKeyLeft;
    case SDLK_UP: return kKeyUp;
    case SDLK_RIGHT: return kKeyRight;
    case SDLK_DOWN: return kKeyDown;
    case SDLK_INSERT: return kKeyInsert;
    case SDLK_DELETE: return kKeyDelete;
    case SDLK_KP_MULTIPLY: return kKeyPadMultiply;
    case SDLK_KP_PLUS: return kKeyPadPlus;
    case SDLK_KP_MINUS: return kKeyPadMinus;
    case SDLK_KP_PERIOD: return kKeyPadPeriod;
    case SDLK_KP_DIVIDE: return kKeyPadDivide;
    case SDLK_KP_ENTER: return kKeyPadEnter;
    case SDLK_LSHIFT: case SDLK_RSHIFT: return kKeyShift;
    case SDLK_LCTRL: case SDLK_RCTRL: return kKeyCtrl;
    case SDLK_LALT: case SDLK_RALT: return kKeyAlt;
    default: break;
  }
  if (k >= SDLK_F1 && k <= SDLK_F12) return kKeyF1 + (k - SDLK_F1);
  if (k >= SDLK_KP_1 && k <= SDLK_KP_9) return kKeyPad1 + (k - SDLK_KP_1);
  if (k == SDLK_KP_0) return kKeyPad0;
  return kKeyOther;
}

uint16_t mods_of(uint16_t m) {
  uint16_t out = 0;
  if (m & KMOD_SHIFT) out |= kModShift;
  if (m & KMOD_CTRL) out |= kModCtrl;
  if (m & KMOD_ALT) out |= kModAlt;
  return out;
}

// Set when the connection to the window system broke (the X server went
// away). From then on nothing touches the display: nothing is drawn, the
// windows are left to the ended connection, and the events report one
// close, so the script ends as if its window had been closed.
bool g_display_lost = false;
int g_x11_socket = -1;  // the X connection's socket, or -1 when unknown

// Notes the X connection behind SDL's windows (once: SDL keeps one). A
// server that dies while Xlib is inside a call (between display_lost's look
// at the socket and SDL's next read) meets Xlib's I/O error: it then marks
// the display lost and, with libX11 1.7 or later, returns instead of ending
// the process, so the script ends as if its window were closed. With an
// older libX11 the process still ends there (status 1), but without
// touching the dead connection again on its way out.
void watch_display(SDL_Window* window) {
#if defined(SDL_VIDEO_DRIVER_X11)
  static bool watching = false;
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (watching || !SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return;
  g_x11_socket = ConnectionNumber(info.info.x11.display);
  watching = true;
  std::string why;
  if (!x11_ready(why)) return;
  XSetIOErrorHandler([](Display*) -> int {
    g_display_lost = true;
    return 0;
  });
  if (set_io_error_exit_handler)
    set_io_error_exit_handler(info.info.x11.display, [](Display*, void*) { g_display_lost = true; }, nullptr);
#else
  (void)window;
#endif
}

// Whether the display went away. Nothing may call into Xlib once the
// connection broke, so the socket is asked first, without reading from it:
// a connection the server closed reports its hang-up even while unread
// bytes wait in it. A server that dies in the middle of a call is met by
// Xlib's I/O error handling instead (see watch_display).
bool display_lost() {
  if (g_display_lost || g_x11_socket < 0) return g_display_lost;
  pollfd p{g_x11_socket, POLLRDHUP, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))) g_display_lost = true;
  return g_display_lost;
}

// Whether `xid` names a window of the X display, asked on a connection of
// its own so that a wrong number gets a message instead of Xlib's fatal
// error. True on other window systems, which then judge the number.
bool foreign_window_exists(uint64_t xid) {
#if defined(SDL_VIDEO_DRIVER_X11)
  const char* driver = SDL_GetCurrentVideoDriver();
  if (!driver || std::strcmp(driver, "x11") != 0) return true;
  std::string why;
  if (!x11_ready(why)) return true;  // SDL's own X connection works without it: the window system judges the number
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  static bool refused;
  refused = false;
  auto previous = XSetErrorHandler([](Display*, XErrorEvent*) -> int {
    refused = true;
    return 0;
  });
  XWindowAttributes attributes;
  const Status found = XGetWindowAttributes(display, ::Window(xid), &attributes);
  XSync(display, False);
  XSetErrorHandler(previous);
  XCloseDisplay(display);
  return found && !refused;
#else
  (void)xid;
  return true;
#endif
}

class SdlWindow final : public Window {
 public:
  explicit SdlWindow(const WindowSpec& spec) : spec_(spec) {}
  ~SdlWindow() override {
    // What it owes is shown before it goes: a window of another program
    // keeps the last picture drawn into it.
    if (owing_) redraw();
    if (g_display_lost) return;
    if (texture_) SDL_DestroyTexture(texture_);
    if (renderer_) SDL_DestroyRenderer(renderer_);
    if (window_) SDL_DestroyWindow(window_);
  }

  bool open() {
    if (spec_.embed_in) return open_embedded();
    uint32_t flags = spec_.shown ? SDL_WINDOW_SHOWN : SDL_WINDOW_HIDDEN;
    if (spec_.style & kStylePopup) flags |= SDL_WINDOW_BORDERLESS;
    if (spec_.topmost) flags |= SDL_WINDOW_ALWAYS_ON_TOP;
    window_ = SDL_CreateWindow(spec_.title.c_str(), spec_.x, spec_.y, spec_.width, spec_.height, flags);
    if (!window_) return false;
    watch_display(window_);
    SDL_SetWindowData(window_, kSelfKey, this);
    renderer_ = SDL_CreateRenderer(window_, -1, 0);
    if (!renderer_) renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_SOFTWARE);
    return renderer_ != nullptr;
  }

  // Draws into a window that another program owns: the frame is stretched
  // to its size, and it keeps its place, size, title and border.
  bool open_embedded() {
    if (!foreign_window_exists(spec_.embed_in)) return false;
    window_ = SDL_CreateWindowFrom(reinterpret_cast<const void*>(uintptr_t(spec_.embed_in)));
    if (!window_) {
      std::fprintf(stderr, "quillon: cannot draw into the window 0x%llx: %s\n",
                   static_cast<unsigned long long>(spec_.embed_in), SDL_GetError());
      return false;
    }
    watch_display(window_);
    SDL_SetWindowData(window_, kSelfKey, this);
    SDL_GetWindowSize(window_, &spec_.width, &spec_.height);
    // A window made by another program may have a visual that an OpenGL
    // context cannot use: the software renderer draws into any.
    renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_SOFTWARE);
    return renderer_ != nullptr;
  }

  void set_title(const std::string& title) override {
    spec_.title = title;
    if (!spec_.embed_in) SDL_SetWindowTitle(window_, title.c_str());
  }
  void move(int32_t x, int32_t y) override {
    if (spec_.embed_in) return;
    spec_.x = x;
    spec_.y = y;
    SDL_SetWindowPosition(window_, x, y);
  }
  void resize(int32_t width, int32_t height) override {
    if (spec_.embed_in) return;
    spec_.width = std::max(width, 1);
    spec_.height = std::max(height, 1);
    SDL_SetWindowSize(window_, spec_.width, spec_.height);
  }
  void set_style(uint32_t style) override {
    spec_.style = style;
    if (!spec_.embed_in) SDL_SetWindowBordered(window_, (style & kStylePopup) ? SDL_FALSE : SDL_TRUE);
  }
  void show(bool shown) override {
    spec_.shown = shown;
    if (spec_.embed_in) return;
    if (shown)
      SDL_ShowWindow(window_);
    else
      SDL_HideWindow(window_);
  }
  void minimize() override {
    if (spec_.embed_in) return;
    spec_.minimized = true;
    SDL_MinimizeWindow(window_);
  }
  void restore() override {
    if (spec_.embed_in) return;
    spec_.minimized = false;
    spec_.shown = true;
    SDL_ShowWindow(window_);
    SDL_RestoreWindow(window_);
  }
  void raise() override {
    if (spec_.embed_in) return;
    spec_.shown = true;
    SDL_RaiseWindow(window_);
  }
  void set_topmost(bool on) override {
    spec_.topmost = on;
    if (spec_.embed_in) return;
    SDL_SetWindowAlwaysOnTop(window_, on ? SDL_TRUE : SDL_FALSE);
  }
  void fill(uint32_t rgb) override {
    filled_ = true;
    fill_rgb_ = rgb;
    redraw();
  }
  uint32_t id() const override { return SDL_GetWindowID(window_); }
  void warp_pointer(int32_t x, int32_t y) override { SDL_WarpMouseInWindow(window_, x, y); }
  const WindowSpec& spec() const override { return spec_; }

  // Uploads the rectangle into the texture (made anew when the frame size
  // changed) and presents the whole texture stretched to the window.
  void present(const uint8_t* bgra, int32_t stride, int32_t frame_w, int32_t frame_h, int32_t x, int32_t y,
               int32_t w, int32_t h) override {
    if (display_lost()) return;
    if (!texture_ || tex_w_ != frame_w || tex_h_ != frame_h) {
      if (texture_) SDL_DestroyTexture(texture_);
      texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, frame_w,
                                   frame_h);
      if (!texture_) return;
      tex_w_ = frame_w;
      tex_h_ = frame_h;
      x = 0, y = 0, w = frame_w, h = frame_h;  // a new texture holds nothing yet
    }
    int32_t x1 = std::max(x, 0), y1 = std::max(y, 0);
    int32_t x2 = std::min(x + w, frame_w), y2 = std::min(y + h, frame_h);
    if (x1 < x2 && y1 < y2) {
      SDL_Rect r{x1, y1, x2 - x1, y2 - y1};
      SDL_UpdateTexture(texture_, &r, bgra + int64_t(y1) * stride + x1 * 4, stride);
    }
    filled_ = false;
    show();
  }

  // Uploads every rectangle, then shows the texture once.
  void present_areas(const uint8_t* bgra, int32_t stride, int32_t frame_w, int32_t frame_h, const Area* areas,
                     size_t count) override {
    if (display_lost() || count == 0) return;
    if (!texture_ || tex_w_ != frame_w || tex_h_ != frame_h) {
      present(bgra, stride, frame_w, frame_h, 0, 0, frame_w, frame_h);  // a new texture takes everything
      return;
    }
    for (size_t i = 0; i < count; i++) {
      const Area& a = areas[i];
      int32_t x1 = std::max(a.x, 0), y1 = std::max(a.y, 0);
      int32_t x2 = std::min(a.x + a.w, frame_w), y2 = std::min(a.y + a.h, frame_h);
      if (x1 >= x2 || y1 >= y2) continue;
      SDL_Rect r{x1, y1, x2 - x1, y2 - y1};
      SDL_UpdateTexture(texture_, &r, bgra + int64_t(y1) * stride + x1 * 4, stride);
    }
    filled_ = false;
    show();
  }

  // Shows the texture now, or owes the showing when the burst is spent.
  void show() {
    const int64_t now = coarse_now();
    if (const int64_t earned = (now - credited_at_) / kShowGapNs; earned > 0) {
      credit_ = std::min(kShowBurst, credit_ + earned);
      credited_at_ = credit_ == kShowBurst ? now : credited_at_ + earned * kShowGapNs;
    }
    if (credit_ == 0) {
      if (!owing_) g_owing.push_back(this);
      owing_ = true;
      return;
    }
    credit_--;
    redraw();
  }

  // Shows what the window last showed: the fill colour or the whole
  // texture; nothing before either. Whatever it owed is shown with it.
  void redraw() {
    if (owing_) {
      owing_ = false;
      std::erase(g_owing, this);
    }
    if (display_lost()) return;
    if (filled_) {
      SDL_SetRenderDrawColor(renderer_, uint8_t(fill_rgb_ >> 16), uint8_t(fill_rgb_ >> 8), uint8_t(fill_rgb_),
                             0xFF);
      SDL_RenderClear(renderer_);
    } else if (texture_) {
      SDL_RenderCopy(renderer_, texture_, nullptr, nullptr);
    } else {
      return;
    }
    SDL_RenderPresent(renderer_);
    shown_at_ = coarse_now();
  }

  // Makes the showings owed: those owed for kShowGapNs by `now`, or all
  // when `now` is negative.
  static void show_owed(int64_t now) {
    for (size_t i = 0; i < g_owing.size();) {
      SdlWindow* w = g_owing[i];
      if (now < 0 || now - w->shown_at_ >= kShowGapNs)
        w->redraw();  // takes it off the list
      else
        i++;
    }
  }

  static SdlWindow* from_id(uint32_t id) {
    SDL_Window* w = SDL_GetWindowFromID(id);
    return w ? static_cast<SdlWindow*>(SDL_GetWindowData(w, kSelfKey)) : nullptr;
  }

 private:
  WindowSpec spec_;
  SDL_Window* window_ = nullptr;
  SDL_Renderer* renderer_ = nullptr;
  SDL_Texture* texture_ = nullptr;
  int32_t tex_w_ = 0, tex_h_ = 0;
  bool filled_ = false;  // a fill came after the last present
  uint32_t fill_rgb_ = 0;
  int64_t shown_at_ = INT64_MIN / 2;  // coarse_now() at the last showing
  int64_t credit_ = kShowBurst;        // showings show() may make at once
  int64_t credited_at_ = 0;            // coarse_now() when credit_ was last counted up
  bool owing_ = false;                // in g_owing: the texture is newer than the window
};

class Sdl final : public Platform {
 public:
  ~Sdl() override {
    if (g_display_lost) return;
    if (cursor_) SDL_FreeCursor(cursor_);
    SDL_Quit();
  }
  bool headless() const override { return false; }
  Desktop desktop() const override {
    Desktop d;
    SDL_DisplayMode mode;
    if (SDL_GetDesktopDisplayMode(0, &mode) == 0) {
      d.width = mode.w;
      d.height = mode.h;
      d.bits = std::min<int32_t>(int32_t(SDL_BITSPERPIXEL(mode.format)), 24);
    }
    return d;
  }
  bool window_exists(uint64_t id) const override { return foreign_window_exists(id); }
  std::unique_ptr<Window> create_window(const WindowSpec& spec) override {
    auto w = std::make_unique<SdlWindow>(spec);
    if (!w->open()) return nullptr;
    return w;
  }
  // Asking the window system costs microseconds (a system call to see that
  // the display is still there, SDL's own pumping), and the engine asks
  // between every few script words: after an ask that found nothing, the
  // next one reaches the window system only once the coarse clock (a few
  // milliseconds a step) has moved on. Without this a script's loop runs
  // a hundred times slower in a window than without one. Each ask first
  // makes the showings owed for kShowGapNs.
  bool poll_event(Event& out) override {
    const int64_t tick = coarse_now();
    if (!g_owing.empty()) SdlWindow::show_owed(tick);
    if (tick == quiet_tick_) return false;
    SDL_Event e;
    while (!display_lost() && SDL_PollEvent(&e)) {
      switch (e.type) {
        case SDL_QUIT:
          out = make_event(EventKind::Close, 0);
          return true;
        case SDL_WINDOWEVENT:
          if (e.window.event == SDL_WINDOWEVENT_CLOSE) {
            out = make_event(EventKind::Close, e.window.windowID);
            return true;
          }
          // The engine presents only what it changes, so what the window
          // lost is drawn again here.
          if (e.window.event == SDL_WINDOWEVENT_EXPOSED) {
            if (SdlWindow* w = SdlWindow::from_id(e.window.windowID)) w->redraw();
          }
          break;
        case SDL_MOUSEMOTION:
          out = make_event(EventKind::MouseMove, e.motion.windowID, e.motion.x, e.motion.y);
          return true;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
          // Left, right and middle only: SDL numbers the side buttons 4
          // and 5, which are no buttons of ours (not left clicks).
          if (e.button.button != SDL_BUTTON_LEFT && e.button.button != SDL_BUTTON_RIGHT &&
              e.button.button != SDL_BUTTON_MIDDLE)
            break;
          out = make_event(e.type == SDL_MOUSEBUTTONDOWN ? EventKind::MouseDown : EventKind::MouseUp,
                           e.button.windowID, e.button.x, e.button.y,
                           e.button.button == SDL_BUTTON_RIGHT    ? 2
                           : e.button.button == SDL_BUTTON_MIDDLE ? 3
                                                                  : 1);
          return true;
        case SDL_KEYDOWN:
        case SDL_KEYUP:
          out = make_event(e.type == SDL_KEYDOWN ? EventKind::KeyDown : EventKind::KeyUp, e.key.windowID, 0, 0,
                           key_of(e.key.keysym.sym));
          out.mods = mods_of(e.key.keysym.mod);
          if (e.type == SDL_KEYDOWN) typing_mods_ = e.key.keysym.mod;
          return true;
        case SDL_TEXTINPUT:
          // SDL queues a key's text right after its key-down, and the text
          // takes that key-down's modifiers. SDL_GetModState() is the state
          // after every event SDL has read: when a whole alt-a was read
          // before its text is served, alt is up again by then. Ctrl and
          // alt keys type no text, their key-down gives the key; the text
          // X11 sends with some of them ("1" with ctrl-1) would be a
          // second key.
          if (typing_mods_ & (KMOD_CTRL | KMOD_ALT)) break;
          out = make_event(EventKind::Text, e.text.windowID);
          out.mods = mods_of(typing_mods_);
          out.text = e.text.text;
          return true;
        default:
          break;
      }
    }
    if (g_display_lost && !lost_reported_) {
      lost_reported_ = true;
      std::fprintf(stderr, "quillon: the connection to the display was lost; ending as if the window were closed\n");
      out = make_event(EventKind::Close, 0);
      return true;
    }
    quiet_tick_ = tick;
    return false;
  }
  uint64_t now_ms() override { return SDL_GetTicks64(); }
  void present_held() override { SdlWindow::show_owed(-1); }
  void sleep_ms(uint32_t ms) override {
    SdlWindow::show_owed(-1);
    SDL_Delay(ms);
  }
  void message_box(const char* caption, const char* text) override {
    SdlWindow::show_owed(-1);
    SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_INFORMATION, caption, text, nullptr);
  }
  void show_cursor(bool shown) override { SDL_ShowCursor(shown ? SDL_ENABLE : SDL_DISABLE); }
  void set_clipboard(const std::string& utf8) override { SDL_SetClipboardText(utf8.c_str()); }
  std::string clipboard() override {
    char* t = SDL_GetClipboardText();
    std::string s = t ? t : "";
    SDL_free(t);
    return s;
  }
  // Pictures go through the desktop's clipboard tools: wl-copy and
  // wl-paste in a Wayland session, else xclip. Each call is bounded in time.
  bool set_clipboard_png(const std::string& png) override {
    if (wayland_session() && have_tool("wl-copy"))
      return run_tool({"wl-copy", "--type", "image/png"}, &png, nullptr, 10000) == 0;
    if (have_tool("xclip"))
      return run_tool({"xclip", "-selection", "clipboard", "-t", "image/png", "-i"}, &png, nullptr, 10000) == 0;
    return false;
  }
  bool clipboard_png(std::string& png) override {
    png.clear();
    int rc = -1;
    if (wayland_session() && have_tool("wl-paste"))
      rc = run_tool({"wl-paste", "--no-newline", "--type", "image/png"}, nullptr, &png, 10000);
    else if (have_tool("xclip"))
      rc = run_tool({"xclip", "-selection", "clipboard", "-t", "image/png", "-o"}, nullptr, &png, 10000);
    return rc == 0 && png.size() > 8 && png.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
  }
  void clear_clipboard() override { SDL_SetClipboardText(""); }
  int ask(const char* caption, const char* text, const std::vector<std::string>& buttons, int default_button,
          int escape, int icon) override {
    SdlWindow::show_owed(-1);
    std::vector<SDL_MessageBoxButtonData> data;
    for (size_t i = 0; i < buttons.size(); i++) {
      Uint32 flags = 0;
      if (int(i) == default_button) flags |= SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT;
      if (int(i) == escape) flags |= SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT;
      data.push_back({flags, int(i), buttons[i].c_str()});
    }
    static const Uint32 kIcons[] = {0, SDL_MESSAGEBOX_ERROR, SDL_MESSAGEBOX_WARNING, SDL_MESSAGEBOX_INFORMATION};
    SDL_MessageBoxData box{};
    box.flags = kIcons[icon >= 0 && icon <= 3 ? icon : 0] | SDL_MESSAGEBOX_BUTTONS_LEFT_TO_RIGHT;
    box.title = caption;
    box.message = text;
    box.numbuttons = int(data.size());
    box.buttons = data.data();
    int pressed = -1;
    if (SDL_ShowMessageBox(&box, &pressed) != 0 || pressed < 0) return escape;
    return pressed;
  }
  void set_text_input_rect(int32_t x, int32_t y, int32_t w, int32_t h) override {
    SDL_Rect r{x, y, w, h};
    SDL_SetTextInputRect(&r);
  }
  bool set_cursor(const std::string& name) override {
    static const struct {
      const char* name;
      SDL_SystemCursor id;
    } kCursors[] = {
        {"arrow", SDL_SYSTEM_CURSOR_ARROW},     {"ibeam", SDL_SYSTEM_CURSOR_IBEAM},
        {"wait", SDL_SYSTEM_CURSOR_WAIT},       {"cross", SDL_SYSTEM_CURSOR_CROSSHAIR},
        {"appstarting", SDL_SYSTEM_CURSOR_WAITARROW}, {"sizenwse", SDL_SYSTEM_CURSOR_SIZENWSE},
        {"sizenesw", SDL_SYSTEM_CURSOR_SIZENESW}, {"sizewe", SDL_SYSTEM_CURSOR_SIZEWE},
        {"sizens", SDL_SYSTEM_CURSOR_SIZENS},   {"sizeall", SDL_SYSTEM_CURSOR_SIZEALL},
        {"size", SDL_SYSTEM_CURSOR_SIZEALL},    {"no", SDL_SYSTEM_CURSOR_NO},
        {"hand", SDL_SYSTEM_CURSOR_HAND},       {"help", SDL_SYSTEM_CURSOR_ARROW},
        {"icon", SDL_SYSTEM_CURSOR_ARROW},      {"uparrow", SDL_SYSTEM_CURSOR_ARROW},
    };
    for (const auto& c : kCursors) {
      if (name != c.name) continue;
      SDL_Cursor* cursor = SDL_CreateSystemCursor(c.id);
      if (!cursor) return false;
      SDL_SetCursor(cursor);
      if (cursor_) SDL_FreeCursor(cursor_);
      cursor_ = cursor;
      return true;
    }
    return false;
  }
  bool set_custom_cursor(const uint32_t* argb, int32_t w, int32_t h, int32_t hot_x, int32_t hot_y) override {
    SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormatFrom(const_cast<uint32_t*>(argb), w, h, 32, w * 4,
                                                              SDL_PIXELFORMAT_ARGB8888);
    if (!surface) return false;
    SDL_Cursor* cursor =
        SDL_CreateColorCursor(surface, std::clamp(hot_x, 0, w - 1), std::clamp(hot_y, 0, h - 1));
    SDL_FreeSurface(surface);
    if (!cursor) return false;
    SDL_SetCursor(cursor);
    if (cursor_) SDL_FreeCursor(cursor_);
    cursor_ = cursor;
    return true;
  }

 private:
  SDL_Cursor* cursor_ = nullptr;
  uint16_t typing_mods_ = 0;  // SDL's modifiers at the last key-down served
  bool lost_reported_ = false;  // the close for a lost display was served
  int64_t quiet_tick_ = -1;     // the coarse clock when an ask last found nothing

 public:
};

}  // namespace

// Without a display variable SDL is not even started: a failed start
// leaves the video drivers' allocations behind.
std::unique_ptr<Platform> make_sdl(std::string* why) {
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
    if (why) *why = "DISPLAY is not set";
    return nullptr;
  }
  if (std::string reason; !sdl_video_ready(reason)) {
    if (why) *why = "SDL2 could not be loaded: " + reason;
    return nullptr;
  }
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    if (why) *why = SDL_GetError();
    SDL_Quit();
    return nullptr;
  }
  // When no window system answers, SDL settles for a driver whose windows
  // nobody sees; the player would then run on with nothing on the screen.
  // Only a user who names such a driver gets it.
  const char* driver = SDL_GetCurrentVideoDriver();
  const char* asked = std::getenv("SDL_VIDEODRIVER");
  if (driver && (!std::strcmp(driver, "offscreen") || !std::strcmp(driver, "dummy")) &&
      !(asked && std::strstr(asked, driver))) {
    if (why) *why = std::string("no window system answered; SDL offered only its ") + driver + " driver";
    SDL_Quit();
    return nullptr;
  }
  return std::make_unique<Sdl>();
}

}  // namespace platform
