#include <string>

#include "target/target.h"

namespace strikewell {
namespace {

// The title is read into a 256-character buffer: the text before its first NUL,
// at most 255 characters.
constexpr size_t kMaxTitle = 255;
// Start positions 1..245 cover every place where the text fits into 255 characters.
constexpr size_t kLastStart = 245;

std::string TitleOf(Desktop& desktop, WindowHandle Wnd) {
  std::string title = desktop.GetWindowText(Wnd);
  title = title.substr(0, title.find('\0'));
  if (title.size() > kMaxTitle) title.resize(kMaxTitle);
  return title;
}

bool HoldsStringToGet(const std::string& title) {
  for (size_t pos = 1; pos <= kLastStart; ++pos) {
    if (pos - 1 >= title.size()) return false;
    if (title.compare(pos - 1, StringToGet.size(), StringToGet) == 0) return true;
  }
  return false;
}

}  // namespace

bool NextWindow(TargetWindow& state, Desktop& desktop, WindowHandle Wnd) {
  const std::string title = TitleOf(desktop, Wnd);
  if (!HoldsStringToGet(title)) return true;
  desktop.SetActiveWindow(Wnd);
  desktop.SetForegroundWindow(Wnd);
  state.WindowFound = true;
  state.WindowTitle = title;
  state.SaveWnd = Wnd;
  return false;
}

bool IsTargetStill(const TargetWindow& state, Desktop& desktop) {
  // A closed window has no title, so one read tells both.
  return HoldsStringToGet(TitleOf(desktop, state.SaveWnd));
}

bool SearchWindows(TargetWindow& state, Desktop& desktop) {
  state.WindowFound = false;
  desktop.EnumWindows([&](WindowHandle Wnd) { return NextWindow(state, desktop, Wnd); });
  return state.WindowFound;
}

bool FindTargetWindow(TargetWindow& state, Desktop& desktop, Console& console) {
  if (SearchWindows(state, desktop)) {
    console.WriteLn("Target window is " + state.WindowTitle);
    return true;
  }
  console.ClrScr();
  console.WriteLn("The required target window (" + std::string(StringToGet) + ") NOT FOUND");
  // Without a reachable desktop the search could not have found anything; saying why
  // keeps the ringer from hunting for a window that is open.
  const std::string why = desktop.Unavailable();
  if (!why.empty()) console.WriteLn(why);
  console.WriteLn("Ending program press Q to exit");
  console.ReadBareLine();
  return false;
}

}  // namespace strikewell
