// A small X client for tests: one window with a given title that logs what it
// receives, one line per event, flushed at once so a test can follow the file:
//
//   mapped 0x1a00002          the window is on the screen (its X id)
//   focus-in / focus-out      the window gained or lost the input focus
//   press j 1234567890        a KeyPress: keysym name, CLOCK_MONOTONIC microseconds
//
// Usage: key_logger TITLE LOG_PATH   (ends on SIGTERM or when the server goes away)
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>
#include <ctime>

int main(int argc, char** argv) {
  std::FILE* log = argc == 3 ? std::fopen(argv[2], "a") : nullptr;
  Display* display = XOpenDisplay(nullptr);
  if (log == nullptr || display == nullptr) {
    std::fprintf(stderr, "usage: key_logger TITLE LOG_PATH, with an X display\n");
    return 2;
  }
  const char* title = argv[1];
  const Window window =
      XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 320, 120, 1, 0, 0xFFFFFF);
  XStoreName(display, window, title);
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                  XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title),
                  static_cast<int>(std::strlen(title)));
  // Input hint: a window manager gives the focus only to windows that ask for it.
  XWMHints hints{};
  hints.flags = InputHint;
  hints.input = True;
  XSetWMHints(display, window, &hints);
  XSelectInput(display, window, KeyPressMask | StructureNotifyMask | FocusChangeMask);
  XMapWindow(display, window);

  for (XEvent event;;) {
    XNextEvent(display, &event);
    if (event.type == MapNotify) std::fprintf(log, "mapped 0x%lx\n", window);
    if (event.type == FocusIn) std::fprintf(log, "focus-in\n");
    if (event.type == FocusOut) std::fprintf(log, "focus-out\n");
    if (event.type == KeyPress) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      KeySym keysym = NoSymbol;
      XLookupString(&event.xkey, nullptr, 0, &keysym, nullptr);
      const char* name = XKeysymToString(keysym);
      std::fprintf(log, "press %s %lld\n", name ? name : "NoSymbol",
                   now.tv_sec * 1000000LL + now.tv_nsec / 1000);
    }
    std::fflush(log);
  }
}
