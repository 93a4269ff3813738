// A small Windows program for tests: one top-level window with a given title that
// logs what it receives, one line per message, flushed at once:
//
//   created 0x30052           the window exists (its handle)
//   focus-in / focus-out      WM_SETFOCUS / WM_KILLFOCUS
//   keydown 0x4A 0x24         WM_KEYDOWN: virtual key, scan code
//   keyup 0x4A 0x24           WM_KEYUP
//
// Usage: key_window TITLE LOG_PATH   (ends on WM_CLOSE or when terminated)
#include <windows.h>

#include <cstdio>

namespace {

std::FILE* g_log = nullptr;

void Log(const char* kind, WPARAM vk, LPARAM lparam) {
  std::fprintf(g_log, "%s 0x%02X 0x%02X\n", kind, static_cast<unsigned>(vk),
               static_cast<unsigned>((lparam >> 16) & 0xFF));
  std::fflush(g_log);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      Log("keydown", wparam, lparam);
      return 0;
    case WM_KEYUP:
    case WM_SYSKEYUP:
      Log("keyup", wparam, lparam);
      return 0;
    case WM_SETFOCUS:
      std::fprintf(g_log, "focus-in\n");
      std::fflush(g_log);
      return 0;
    case WM_KILLFOCUS:
      std::fprintf(g_log, "focus-out\n");
      std::fflush(g_log);
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
  if (argc != 3) {
    std::fprintf(stderr, "usage: key_window TITLE LOG_PATH\n");
    return 2;
  }
  g_log = std::fopen(argv[2], "a");
  if (g_log == nullptr) return 1;
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  window_class.lpszClassName = "StrikewellKeyWindow";
  window_class.hCursor = LoadCursor(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  if (RegisterClassA(&window_class) == 0) return 1;
  const HWND hwnd = CreateWindowExA(0, window_class.lpszClassName, argv[1], WS_OVERLAPPEDWINDOW, 40,
                                    40, 320, 120, nullptr, nullptr, instance, nullptr);
  if (hwnd == nullptr) return 1;
  ShowWindow(hwnd, SW_SHOW);
  UpdateWindow(hwnd);
  std::fprintf(g_log, "created 0x%llX\n",
               static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));
  std::fflush(g_log);

  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}
