// The Windows desktop: the user32 window and keyboard calls, one to one.
#include <windows.h>

#include <exception>
#include <memory>

#include "platform/backends.h"
#include "platform/desktop.h"

namespace strikewell {
namespace {

HWND ToHwnd(WindowHandle window) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(window)); }

WindowHandle FromHwnd(HWND hwnd) {
  return static_cast<WindowHandle>(reinterpret_cast<uintptr_t>(hwnd));
}

struct EnumContext {
  const std::function<bool(WindowHandle)>* visit;
  std::exception_ptr failure;
};

// An exception must not unwind through user32's frames: it is kept, the walk
// stopped, and the exception raised again once EnumWindows has returned.
BOOL CALLBACK VisitWindow(HWND hwnd, LPARAM param) {
  auto* context = reinterpret_cast<EnumContext*>(param);
  try {
    return (*context->visit)(FromHwnd(hwnd)) ? TRUE : FALSE;
  } catch (...) {
    context->failure = std::current_exception();
    return FALSE;
  }
}

class Win32Desktop : public Desktop {
 public:
  void EnumWindows(const std::function<bool(WindowHandle)>& visit) override {
    EnumContext context{&visit, nullptr};
    ::EnumWindows(VisitWindow, reinterpret_cast<LPARAM>(&context));
    if (context.failure) std::rethrow_exception(context.failure);
  }

  std::string GetWindowText(WindowHandle window) override {
    char buffer[256] = {};
    const int length = ::GetWindowTextA(ToHwnd(window), buffer, sizeof buffer);
    return std::string(buffer, length > 0 ? static_cast<size_t>(length) : 0);
  }

  void SetActiveWindow(WindowHandle window) override { ::SetActiveWindow(ToHwnd(window)); }

  void SetForegroundWindow(WindowHandle window) override { ::SetForegroundWindow(ToHwnd(window)); }

  WindowHandle GetForegroundWindow() override { return FromHwnd(::GetForegroundWindow()); }
  bool IsWindow(WindowHandle window) override { return ::IsWindow(ToHwnd(window)) != 0; }

  void KeybdEvent(uint8_t virtual_key, uint8_t scan_code, uint32_t flags) override {
    ::keybd_event(virtual_key, scan_code, flags, 0);
  }

  uint32_t MapVirtualKey(uint32_t virtual_key) override {
    return ::MapVirtualKeyA(virtual_key, MAPVK_VK_TO_VSC);
  }

  int16_t VkKeyScan(char ch) override { return ::VkKeyScanA(ch); }
};

}  // namespace

std::unique_ptr<Desktop> MakeDesktop() { return std::make_unique<Win32Desktop>(); }

}  // namespace strikewell
