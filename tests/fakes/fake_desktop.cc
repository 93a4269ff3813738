#include "fake_desktop.h"

#include <cstdio>
#include <cstring>

namespace strikewell::testing {
namespace {

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// Pairs of virtual key and set-1 scan code as a US keyboard reports them
// (navigation keys without their E0 prefix, as MapVirtualKey type 0 gives them).
constexpr uint8_t kScanCodes[][2] = {
    {0x08, 0x0E}, {0x09, 0x0F}, {0x0D, 0x1C}, {0x10, 0x2A}, {0x11, 0x1D}, {0x12, 0x38},
    {0x1B, 0x01}, {0x20, 0x39}, {0x21, 0x49}, {0x22, 0x51}, {0x23, 0x4F}, {0x24, 0x47},
    {0x25, 0x4B}, {0x26, 0x48}, {0x27, 0x4D}, {0x28, 0x50}, {0x2D, 0x52}, {0x2E, 0x53},
    {0x30, 0x0B}, {0x31, 0x02}, {0x32, 0x03}, {0x33, 0x04}, {0x34, 0x05}, {0x35, 0x06},
    {0x36, 0x07}, {0x37, 0x08}, {0x38, 0x09}, {0x39, 0x0A}, {0x41, 0x1E}, {0x42, 0x30},
    {0x43, 0x2E}, {0x44, 0x20}, {0x45, 0x12}, {0x46, 0x21}, {0x47, 0x22}, {0x48, 0x23},
    {0x49, 0x17}, {0x4A, 0x24}, {0x4B, 0x25}, {0x4C, 0x26}, {0x4D, 0x32}, {0x4E, 0x31},
    {0x4F, 0x18}, {0x50, 0x19}, {0x51, 0x10}, {0x52, 0x13}, {0x53, 0x1F}, {0x54, 0x14},
    {0x55, 0x16}, {0x56, 0x2F}, {0x57, 0x11}, {0x58, 0x2D}, {0x59, 0x15}, {0x5A, 0x2C},
    {0x70, 0x3B}, {0x71, 0x3C}, {0x72, 0x3D}, {0x73, 0x3E}, {0x74, 0x3F}, {0x75, 0x40},
    {0x76, 0x41}, {0x77, 0x42}, {0x78, 0x43}, {0x79, 0x44}, {0x7A, 0x57}, {0x7B, 0x58},
    {0xBA, 0x27}, {0xBB, 0x0D}, {0xBC, 0x33}, {0xBD, 0x0C}, {0xBE, 0x34}, {0xBF, 0x35},
    {0xC0, 0x29}, {0xDB, 0x1A}, {0xDC, 0x2B}, {0xDD, 0x1B}, {0xDE, 0x28},
};

}  // namespace

WindowHandle FakeDesktop::AddWindow(std::string title) {
  const WindowHandle handle = next_handle_++;
  windows.push_back(Window{handle, std::move(title)});
  return handle;
}

WindowHandle FakeDesktop::OpenWindowAt(int64_t open_ms, std::string title, int64_t closed_ms) {
  const WindowHandle handle = AddWindow(std::move(title));
  windows.back().open_from_ms = open_ms;
  windows.back().closed_from_ms = closed_ms;
  return handle;
}

void FakeDesktop::CloseWindowAt(int64_t at_ms, WindowHandle window) {
  for (Window& w : windows) {
    if (w.handle == window) w.closed_from_ms = at_ms;
  }
}

void FakeDesktop::ReuseHandleAt(int64_t at_ms, WindowHandle window, std::string title) {
  CloseWindowAt(at_ms, window);
  windows.push_back(Window{window, std::move(title), at_ms});
}

bool FakeDesktop::IsWindow(WindowHandle window) {
  for (const Window& w : windows) {
    if (w.handle == window && Exists(w)) return true;
  }
  return false;
}

void FakeDesktop::FocusAt(int64_t at_ms, WindowHandle window) {
  focus_changes_.emplace_back(at_ms, window);
}

void FakeDesktop::EnumWindows(const std::function<bool(WindowHandle)>& visit) {
  // A copy, so that a visitor that adds windows does not disturb the walk.
  const std::vector<Window> snapshot = windows;
  for (const Window& w : snapshot) {
    if (!Exists(w)) continue;
    visited.push_back(w.handle);
    if (!visit(w.handle)) return;
  }
}

std::string FakeDesktop::GetWindowText(WindowHandle window) {
  ++title_reads;
  for (const Window& w : windows) {
    if (w.handle == window && Exists(w)) return w.title.substr(0, 255);
  }
  return {};
}

void FakeDesktop::SetActiveWindow(WindowHandle window) {
  activations.push_back("SetActiveWindow(" + Hex(window) + ")");
}

// Both windowing systems refuse to bring forward a window that has gone, and what
// was in front stays there.
void FakeDesktop::SetForegroundWindow(WindowHandle window) {
  activations.push_back("SetForegroundWindow(" + Hex(window) + ")");
  ApplyDueFocusChanges();
  if (!refuse_foreground && IsWindow(window)) foreground = window;
}

void FakeDesktop::ApplyDueFocusChanges() {
  while (!focus_changes_.empty() && focus_changes_.front().first <= NowMs()) {
    foreground = focus_changes_.front().second;
    focus_changes_.pop_front();
  }
}

WindowHandle FakeDesktop::GetForegroundWindow() {
  ++foreground_queries;
  return InFront();
}

WindowHandle FakeDesktop::InFront() {
  ApplyDueFocusChanges();
  // A closed window is in front of nobody.
  return IsWindow(foreground) ? foreground : 0;
}

// The key reaches whichever window is in front when it is sent.
void FakeDesktop::KeybdEvent(uint8_t virtual_key, uint8_t scan_code, uint32_t flags) {
  const KeyRecord key{virtual_key, scan_code, flags, NowMs()};
  keys.push_back(key);
  if (const WindowHandle in_front = InFront(); in_front != 0) {
    received[in_front].push_back(key);
  }
}

uint32_t FakeDesktop::MapVirtualKey(uint32_t virtual_key) {
  for (const auto& [vk, scan] : kScanCodes) {
    if (vk == virtual_key) return scan;
  }
  return 0;
}

int16_t FakeDesktop::VkKeyScan(char ch) {
  constexpr int16_t kShift = 0x100;
  // The US keys for digits and punctuation: what each types without and with Shift.
  constexpr char kPlain[] = "0123456789`-=[]\\;',./";
  constexpr char kShifted[] = ")!@#$%^&*(~_+{}|:\"<>?";
  constexpr uint8_t kPunctuationVk[] = {0xC0, 0xBD, 0xBB, 0xDB, 0xDD, 0xDC,
                                        0xBA, 0xDE, 0xBC, 0xBE, 0xBF};
  if (ch >= 'a' && ch <= 'z') return static_cast<int16_t>(ch - 'a' + 'A');
  if (ch >= 'A' && ch <= 'Z') return static_cast<int16_t>(kShift | ch);
  for (size_t i = 0; i + 1 < sizeof kPlain; ++i) {
    const int16_t vk = i < 10 ? kPlain[i] : kPunctuationVk[i - 10];
    if (ch == kPlain[i]) return vk;
    if (ch == kShifted[i]) return static_cast<int16_t>(kShift | vk);
  }
  // Space, Tab, Enter and Backspace: their keys' codes are their own.
  if (ch != 0 && std::strchr(" \t\r\b", ch) != nullptr) return ch;
  return -1;
}

std::ostream& operator<<(std::ostream& os, const FakeDesktop::KeyRecord& k) {
  char text[80];
  std::snprintf(text, sizeof text, "{%s vk=0x%02X scan=0x%02X flags=%u at %lld ms}",
                k.flags & KEYEVENTF_KEYUP_FLAG ? "release" : "press", k.vk, k.scan, k.flags,
                static_cast<long long>(k.at_ms));
  return os << text;
}

}  // namespace strikewell::testing
