// The X11 desktop: top-level client windows and their titles, activation, the
// window that has the focus, and keys injected through the XTEST extension.
//
// With a window manager that announces itself (_NET_SUPPORTING_WM_CHECK), the EWMH
// hints are used: the clients come from _NET_CLIENT_LIST, activation is a request to
// the manager and the foreground window is its _NET_ACTIVE_WINDOW. Without one, the
// root's children are the top-level windows, focus is set directly, and the
// foreground is the window that holds the input focus.
//
// Keys are named by Windows virtual-key codes above this interface; they are mapped
// to keysyms and then to key codes of the keyboard map in use. XTEST events reach
// the window with the input focus only, which is why the target is activated first.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/backends.h"
#include "platform/desktop.h"
#include "platform/posix/emergency_exit.h"

namespace strikewell {
namespace {

constexpr size_t kMaxTitle = 255;
// A title is read up to this many bytes; UTF-8 needs up to four per character.
constexpr long kTitleReadLongs = 1024 / 4;
constexpr long kListReadLongs = 65536;

// Xlib's default handler ends the process on any error. Windows come and go while
// they are looked at (a browser opens and closes short-lived ones all the time), so
// a BadWindow is expected: the request that met it simply yields nothing.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

struct VkKeysym {
  uint8_t vk;
  KeySym keysym;
};

// Windows virtual-key codes and the keysyms that a US keyboard's keys carry
// unshifted. Letters are their lower-case keysyms: the key, not the character.
constexpr VkKeysym kVkKeysyms[] = {
    {0x08, XK_BackSpace},    {0x09, XK_Tab},        {0x0D, XK_Return},      {0x10, XK_Shift_L},
    {0x11, XK_Control_L},    {0x12, XK_Alt_L},      {0x13, XK_Pause},       {0x14, XK_Caps_Lock},
    {0x1B, XK_Escape},       {0x20, XK_space},      {0x21, XK_Prior},       {0x22, XK_Next},
    {0x23, XK_End},          {0x24, XK_Home},       {0x25, XK_Left},        {0x26, XK_Up},
    {0x27, XK_Right},        {0x28, XK_Down},       {0x2C, XK_Print},       {0x2D, XK_Insert},
    {0x2E, XK_Delete},       {0x5B, XK_Super_L},    {0x5C, XK_Super_R},     {0x5D, XK_Menu},
    {0x60, XK_KP_0},         {0x61, XK_KP_1},       {0x62, XK_KP_2},        {0x63, XK_KP_3},
    {0x64, XK_KP_4},         {0x65, XK_KP_5},       {0x66, XK_KP_6},        {0x67, XK_KP_7},
    {0x68, XK_KP_8},         {0x69, XK_KP_9},       {0x6A, XK_KP_Multiply}, {0x6B, XK_KP_Add},
    {0x6D, XK_KP_Subtract},  {0x6E, XK_KP_Decimal}, {0x6F, XK_KP_Divide},   {0x90, XK_Num_Lock},
    {0x91, XK_Scroll_Lock},  {0xA0, XK_Shift_L},    {0xA1, XK_Shift_R},     {0xA2, XK_Control_L},
    {0xA3, XK_Control_R},    {0xA4, XK_Alt_L},      {0xA5, XK_Alt_R},       {0xBA, XK_semicolon},
    {0xBB, XK_equal},        {0xBC, XK_comma},      {0xBD, XK_minus},       {0xBE, XK_period},
    {0xBF, XK_slash},        {0xC0, XK_grave},      {0xDB, XK_bracketleft}, {0xDC, XK_backslash},
    {0xDD, XK_bracketright}, {0xDE, XK_apostrophe}, {0xE2, XK_less},
};

KeySym VkToKeysym(uint8_t vk) {
  if (vk >= '0' && vk <= '9') return XK_0 + (vk - '0');
  if (vk >= 'A' && vk <= 'Z') return XK_a + (vk - 'A');
  if (vk >= 0x70 && vk <= 0x87) return XK_F1 + (vk - 0x70);  // F1..F24
  for (const VkKeysym& e : kVkKeysyms) {
    if (e.vk == vk) return e.keysym;
  }
  return NoSymbol;
}

// The first virtual key whose keysym is this one; 0 when there is none.
uint8_t KeysymToVk(KeySym keysym) {
  if (keysym >= XK_0 && keysym <= XK_9) return static_cast<uint8_t>('0' + (keysym - XK_0));
  if (keysym >= XK_a && keysym <= XK_z) return static_cast<uint8_t>('A' + (keysym - XK_a));
  if (keysym >= XK_F1 && keysym <= XK_F24) return static_cast<uint8_t>(0x70 + (keysym - XK_F1));
  for (const VkKeysym& e : kVkKeysyms) {
    if (e.keysym == keysym) return e.vk;
  }
  return 0;
}

// The keysym that types an 8-bit character: Latin-1 characters are their own keysyms.
KeySym CharToKeysym(uint8_t ch) {
  switch (ch) {
    case '\b':
      return XK_BackSpace;
    case '\t':
      return XK_Tab;
    case '\r':
    case '\n':
      return XK_Return;
    case 27:
      return XK_Escape;
    default:
      break;
  }
  if ((ch >= 0x20 && ch <= 0x7E) || ch >= 0xA0) return ch;
  return NoSymbol;
}

// Windows-1252's characters in 0x80..0x9F (0 where it has none).
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char CodePointToCp1252(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (int i = 0; i < 32; ++i) {
    if (kCp1252High[i] != 0 && kCp1252High[i] == cp) return static_cast<char>(0x80 + i);
  }
  return '?';
}

// Browser titles are UTF-8; the logic works on 8-bit text as Windows' ANSI calls give
// it, so characters become Windows-1252 and those it lacks (and broken bytes) '?'.
std::string Utf8ToCp1252(const std::string& utf8) {
  std::string out;
  size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    size_t extra = 0;
    char32_t cp = lead;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      cp = lead & 0x07;
    } else if (lead >= 0x80) {
      extra = SIZE_MAX;  // a stray continuation byte or an invalid lead byte
    }
    bool ok = extra != SIZE_MAX && i + extra < utf8.size();
    for (size_t k = 1; ok && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + k]);
      ok = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!ok) {
      out += '?';
      ++i;
      continue;
    }
    out += CodePointToCp1252(cp);
    i += 1 + extra;
  }
  return out;
}

std::string CutTitle(std::string title) {
  title = title.substr(0, title.find('\0'));
  if (title.size() > kMaxTitle) title.resize(kMaxTitle);
  return title;
}

int SilentIOError(Display*) { return 0; }

[[noreturn]] void OnDisplayLost(Display*, void*) {
  EmergencyExit("The X display was lost - stopping.", 1);
}

class X11Desktop : public Desktop {
 public:
  X11Desktop() {
    const char* name = std::getenv("DISPLAY");
    display_ = XOpenDisplay(nullptr);
    if (display_ == nullptr) {
      unavailable_ =
          name && *name ? std::string("No X display could be opened (DISPLAY is \"") + name + "\")."
                        : "No X display could be opened (DISPLAY is not set).";
      return;
    }
    previous_handler_ = XSetErrorHandler(IgnoreXError);
    // Xlib's own handling of a lost connection prints into the counter screen and
    // ends the program with the terminal raw and the port held.
    XSetIOErrorHandler(SilentIOError);
    XSetIOErrorExitHandler(display_, OnDisplayLost, nullptr);
    int event_base = 0, error_base = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display_, &event_base, &error_base, &major, &minor)) {
      unavailable_ = std::string("The X display \"") + DisplayString(display_) +
                     "\" has no XTEST extension, so no keys can be sent.";
      XCloseDisplay(display_);
      XSetErrorHandler(previous_handler_);
      display_ = nullptr;
      return;
    }
    root_ = DefaultRootWindow(display_);
    net_supporting_wm_check_ = XInternAtom(display_, "_NET_SUPPORTING_WM_CHECK", False);
    net_client_list_ = XInternAtom(display_, "_NET_CLIENT_LIST", False);
    net_active_window_ = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
    net_wm_name_ = XInternAtom(display_, "_NET_WM_NAME", False);
    utf8_string_ = XInternAtom(display_, "UTF8_STRING", False);
    wm_state_ = XInternAtom(display_, "WM_STATE", False);
  }

  ~X11Desktop() override {
    if (display_ == nullptr) return;
    XCloseDisplay(display_);
    XSetErrorHandler(previous_handler_);
  }

  X11Desktop(const X11Desktop&) = delete;
  X11Desktop& operator=(const X11Desktop&) = delete;

  void EnumWindows(const std::function<bool(WindowHandle)>& visit) override {
    if (display_ == nullptr) return;
    for (Window w : TopLevelClients()) {
      if (!visit(w)) return;
    }
  }

  std::string GetWindowText(WindowHandle window) override {
    if (display_ == nullptr || window == 0) return {};
    const Window w = static_cast<Window>(window);
    std::string utf8;
    if (ReadProperty(w, net_wm_name_, utf8_string_, 8, kTitleReadLongs, utf8)) {
      return CutTitle(Utf8ToCp1252(utf8));
    }
    return CutTitle(WmName(w));
  }

  // X has one notion for both, the window with the input focus. A window manager
  // raises (and de-iconifies) the window it activates; without one, bringing it to
  // the front means mapping and raising it here.
  void SetActiveWindow(WindowHandle window) override { Activate(window, false); }
  void SetForegroundWindow(WindowHandle window) override { Activate(window, true); }

  WindowHandle GetForegroundWindow() override {
    if (display_ == nullptr) return 0;
    const bool managed = WindowManager() != None;
    if (managed) {
      std::vector<unsigned long> active;
      if (ReadWindows(root_, net_active_window_, active)) {
        if (active.empty() || active[0] == None) return 0;
        // The manager updates its hint a moment after the fact: asked to activate
        // a window whose client has just ended, it names that window before it has
        // seen it go. The keyboard focus has not moved, and tells the truth.
        if (IsWindow(active[0])) return active[0];
      }
    }
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display_, &focus, &revert);
    if (focus == None || focus == PointerRoot || focus == root_) return 0;
    const Window client = ClientAbove(focus);
    // A manager parks the focus on a window of its own when no client has it.
    if (managed && (client == 0 || !HasWmState(client))) return 0;
    return client;
  }

  void KeybdEvent(uint8_t virtual_key, uint8_t, uint32_t flags) override {
    if (display_ == nullptr) return;
    const KeyCode code = KeyCodeOf(virtual_key);
    if (code == 0) return;
    const Bool press = (flags & KEYEVENTF_KEYUP_FLAG) ? False : True;
    XTestFakeKeyEvent(display_, code, press, CurrentTime);
    XFlush(display_);
  }

  // Key code - 8: with the evdev driver that is the kernel's key code, which for the
  // main block of keys equals the PC set-1 scan code (J 0x24, left Shift 0x2A).
  uint32_t MapVirtualKey(uint32_t virtual_key) override {
    if (display_ == nullptr || virtual_key > 0xFF) return 0;
    const KeyCode code = KeyCodeOf(static_cast<uint8_t>(virtual_key));
    return code >= 8 ? code - 8u : 0u;
  }

  // The key that carries ch in the current map and the modifiers it needs, found by
  // the column that holds it: 0 plain, 1 Shift, 4 and 5 AltGr (reported as Ctrl+Alt,
  // as Windows does). -1 when no key of a known virtual-key code types it.
  int16_t VkKeyScan(char ch) override {
    if (display_ == nullptr) return -1;
    const KeySym wanted = CharToKeysym(static_cast<uint8_t>(ch));
    if (wanted == NoSymbol) return -1;
    RefreshKeyboardMap();
    struct Column {
      int index;
      int16_t shift_state;
    };
    constexpr Column kColumns[] = {{0, 0}, {1, 1}, {4, 6}, {5, 7}};
    for (const Column& column : kColumns) {
      if (column.index >= keysyms_per_keycode_) break;
      for (int code = min_keycode_; code <= max_keycode_; ++code) {
        if (KeysymAt(code, column.index) != wanted) continue;
        const uint8_t vk = KeysymToVk(KeysymAt(code, 0));
        if (vk == 0) continue;
        return static_cast<int16_t>((column.shift_state << 8) | vk);
      }
    }
    return -1;
  }

  // A window that has been destroyed answers BadWindow, which the error handler
  // takes; the request then fails.
  bool IsWindow(WindowHandle window) override {
    if (display_ == nullptr || window == 0) return false;
    XWindowAttributes attributes;
    return XGetWindowAttributes(display_, static_cast<Window>(window), &attributes) != 0;
  }

  std::string Unavailable() override { return unavailable_; }

 private:
  Window WindowManager() {
    std::vector<unsigned long> check;
    if (!ReadWindows(root_, net_supporting_wm_check_, check) || check.empty()) return None;
    // A manager that has gone leaves a stale hint behind: the window it names must
    // name itself.
    std::vector<unsigned long> self;
    if (!ReadWindows(check[0], net_supporting_wm_check_, self) || self.empty() ||
        self[0] != check[0]) {
      return None;
    }
    return check[0];
  }

  std::vector<Window> TopLevelClients() {
    std::vector<unsigned long> clients;
    if (WindowManager() != None && ReadWindows(root_, net_client_list_, clients)) {
      return std::vector<Window>(clients.begin(), clients.end());
    }
    // Without a manager, the root's children are the top-level windows; a client
    // may still sit inside a frame of a manager that does not announce itself.
    std::vector<Window> top_level;
    for (Window child : Children(root_)) top_level.push_back(ClientOf(child));
    // XQueryTree lists bottom to top; Windows enumerates from the top.
    return std::vector<Window>(top_level.rbegin(), top_level.rend());
  }

  std::vector<Window> Children(Window w) {
    Window root = None, parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<Window> result;
    if (XQueryTree(display_, w, &root, &parent, &children, &count) == 0) return result;
    result.assign(children, children + count);
    if (children != nullptr) XFree(children);
    return result;
  }

  bool HasWmState(Window w) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display_, w, wm_state_, 0, 0, False, AnyPropertyType,
                                          &type, &format, &count, &after, &data);
    if (data != nullptr) XFree(data);
    return status == Success && type != None;
  }

  // The client window inside a top-level window (the first with WM_STATE, breadth
  // first), or the window itself when none is marked.
  Window ClientOf(Window top) {
    std::deque<Window> queue{top};
    while (!queue.empty()) {
      const Window w = queue.front();
      queue.pop_front();
      if (HasWmState(w)) return w;
      for (Window child : Children(w)) queue.push_back(child);
    }
    return top;
  }

  // The client that holds window w: up the tree to a window with WM_STATE, or to the
  // top-level window and then down to its client.
  Window ClientAbove(Window w) {
    while (true) {
      if (HasWmState(w)) return w;
      Window root = None, parent = None;
      Window* children = nullptr;
      unsigned int count = 0;
      if (XQueryTree(display_, w, &root, &parent, &children, &count) == 0) return 0;
      if (children != nullptr) XFree(children);
      if (parent == root || parent == None) return ClientOf(w);
      w = parent;
    }
  }

  void Activate(WindowHandle window, bool raise) {
    if (display_ == nullptr || window == 0) return;
    const Window w = static_cast<Window>(window);
    if (WindowManager() != None) {
      // Source indication 2: a pager acting for the user, which a manager obeys
      // without its focus-stealing checks.
      XEvent event{};
      event.xclient.type = ClientMessage;
      event.xclient.window = w;
      event.xclient.message_type = net_active_window_;
      event.xclient.format = 32;
      event.xclient.data.l[0] = 2;
      event.xclient.data.l[1] = CurrentTime;
      XSendEvent(display_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    } else {
      if (raise) XMapRaised(display_, TopLevelOf(w));
      XSetInputFocus(display_, w, RevertToParent, CurrentTime);
    }
    XSync(display_, False);
  }

  Window TopLevelOf(Window w) {
    while (true) {
      Window root = None, parent = None;
      Window* children = nullptr;
      unsigned int count = 0;
      if (XQueryTree(display_, w, &root, &parent, &children, &count) == 0) return w;
      if (children != nullptr) XFree(children);
      if (parent == root || parent == None) return w;
      w = parent;
    }
  }

  bool ReadProperty(Window w, Atom property, Atom type, int format, long max_longs,
                    std::string& bytes) {
    Atom actual_type = None;
    int actual_format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display_, w, property, 0, max_longs, False, type,
                                          &actual_type, &actual_format, &count, &after, &data);
    const bool ok = status == Success && actual_type == type && actual_format == format;
    if (ok && data != nullptr) bytes.assign(reinterpret_cast<const char*>(data), count);
    if (data != nullptr) XFree(data);
    return ok;
  }

  // A list of windows; 32-bit properties arrive as an array of long.
  bool ReadWindows(Window w, Atom property, std::vector<unsigned long>& windows) {
    Atom actual_type = None;
    int actual_format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const int status =
        XGetWindowProperty(display_, w, property, 0, kListReadLongs, False, XA_WINDOW, &actual_type,
                           &actual_format, &count, &after, &data);
    const bool ok = status == Success && actual_type == XA_WINDOW && actual_format == 32;
    if (ok && data != nullptr) {
      const auto* values = reinterpret_cast<const unsigned long*>(data);
      windows.assign(values, values + count);
    }
    if (data != nullptr) XFree(data);
    return ok;
  }

  std::string WmName(Window w) {
    XTextProperty text{};
    if (XGetWMName(display_, w, &text) == 0 || text.value == nullptr) return {};
    std::string result;
    if (text.encoding == XA_STRING) {
      result.assign(reinterpret_cast<const char*>(text.value), text.nitems);  // Latin-1
    } else {
      char** list = nullptr;
      int count = 0;
      if (Xutf8TextPropertyToTextList(display_, &text, &list, &count) >= Success && count > 0 &&
          list != nullptr) {
        result = Utf8ToCp1252(list[0]);
      }
      if (list != nullptr) XFreeStringList(list);
    }
    XFree(text.value);
    return result;
  }

  // Another client may change the keyboard map at any time; the server then tells
  // every client with a MappingNotify, which waits in this connection's queue.
  void RefreshKeyboardMap() {
    while (XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type == MappingNotify) {
        XRefreshKeyboardMapping(&event.xmapping);
        keymap_.reset();
      }
    }
    if (keymap_) return;
    XDisplayKeycodes(display_, &min_keycode_, &max_keycode_);
    KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(min_keycode_),
                                      max_keycode_ - min_keycode_ + 1, &keysyms_per_keycode_);
    keymap_.reset(map);
  }

  KeySym KeysymAt(int code, int column) {
    if (!keymap_ || column >= keysyms_per_keycode_) return NoSymbol;
    return keymap_.get()[(code - min_keycode_) * keysyms_per_keycode_ + column];
  }

  KeyCode KeyCodeOf(uint8_t vk) {
    RefreshKeyboardMap();
    const KeySym keysym = VkToKeysym(vk);
    return keysym == NoSymbol ? 0 : XKeysymToKeycode(display_, keysym);
  }

  struct XFreeDeleter {
    void operator()(KeySym* p) const { XFree(p); }
  };

  Display* display_ = nullptr;
  std::string unavailable_;
  int (*previous_handler_)(Display*, XErrorEvent*) = nullptr;
  Window root_ = None;
  Atom net_supporting_wm_check_ = None;
  Atom net_client_list_ = None;
  Atom net_active_window_ = None;
  Atom net_wm_name_ = None;
  Atom utf8_string_ = None;
  Atom wm_state_ = None;
  std::unique_ptr<KeySym, XFreeDeleter> keymap_;
  int min_keycode_ = 0;
  int max_keycode_ = 0;
  int keysyms_per_keycode_ = 0;
};

}  // namespace

std::unique_ptr<Desktop> MakeDesktop() { return std::make_unique<X11Desktop>(); }

}  // namespace strikewell
