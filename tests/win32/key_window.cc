// A small Windows program for tests: one top-level window with a given title that
// logs, unbuffered, its handle ("created 0x30052") and every WM_KEYDOWN ("keydown
// 0x4A 0x24": virtual key, scan code).
//
// Usage: key_window TITLE LOG_PATH   (ends on WM_CLOSE or when terminated)
#include <windows.h>

#include <cstdio>

namespace {

std::FILE* g_log = nullptr;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      std::fprintf(g_log, "keydown 0x%02X 0x%02X\n", static_cast<unsigned>(wparam),
                   static_cast<unsigned>((lparam >> 16) & 0xFF));
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(hwnd, message, wparam, lparam);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  g_log = std::fopen(argv[2], "a");
  if (g_log == nullptr) return 1;
  std::setvbuf(g_log, nullptr, _IONBF, 0);
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "StrikewellKeyWindow";
  if (RegisterClassA(&window_class) == 0) return 1;
  const HWND hwnd =
      CreateWindowExA(0, window_class.lpszClassName, argv[1], WS_OVERLAPPEDWINDOW, 40, 40, 320, 120,
                      nullptr, nullptr, window_class.hInstance, nullptr);
  if (hwnd == nullptr) return 1;
  ShowWindow(hwnd, SW_SHOW);
  std::fprintf(g_log, "created 0x%llX\n",
               static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));

  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}
