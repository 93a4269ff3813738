// The Windows wait on console input, under Wine: the test attaches itself to a
// pseudo console (kept alive by console_holder.exe) and writes input records into
// it, so that keys and the records around them (focus, mouse, window size, key
// releases) come exactly as a test states them.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/backends.h"
#include "platform/win32/event_wait_win32.h"

namespace strikewell {
namespace {

constexpr int64_t kFarUs = 10'000'000;
// PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE; MinGW-w64's headers lack the pseudo console
// functions, which are looked up in kernel32 instead.
constexpr DWORD_PTR kPseudoConsoleAttribute = 0x00020016;

template <typename Function>
Function Kernel32(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

INPUT_RECORD Key(bool down, WORD virtual_key, WORD scan_code, char ch, DWORD state = 0) {
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = down;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = virtual_key;
  record.Event.KeyEvent.wVirtualScanCode = scan_code;
  record.Event.KeyEvent.uChar.AsciiChar = ch;
  record.Event.KeyEvent.dwControlKeyState = state;
  return record;
}

// A record of a kind that is no key (FOCUS_EVENT, MOUSE_EVENT, ...), its fields zero.
INPUT_RECORD Other(WORD event_type) {
  INPUT_RECORD record{};
  record.EventType = event_type;
  return record;
}

class EventWaitConsoleTest : public ::testing::Test {
 protected:
  // One pseudo console for all cases; this process is attached to it throughout.
  static void SetUpTestSuite() {
    using CreatePseudoConsole = HRESULT(WINAPI*)(COORD, HANDLE, HANDLE, DWORD, void**);
    const auto create = Kernel32<CreatePseudoConsole>("CreatePseudoConsole");
    ASSERT_NE(create, nullptr);
    ASSERT_TRUE(CreatePipe(&input_read_, &input_write_, nullptr, 0));
    ASSERT_TRUE(CreatePipe(&output_read_, &output_write_, nullptr, 0));
    ASSERT_EQ(create(COORD{80, 25}, input_read_, output_write_, 0, &pseudo_console_), S_OK);

    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    attributes_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes_.data());
    ASSERT_TRUE(InitializeProcThreadAttributeList(list, 1, 0, &size));
    ASSERT_TRUE(UpdateProcThreadAttribute(list, 0, kPseudoConsoleAttribute, pseudo_console_,
                                          sizeof pseudo_console_, nullptr, nullptr));
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string holder(self, length);
    holder = holder.substr(0, holder.find_last_of("\\/") + 1) + "console_holder.exe";
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = list;
    std::string command = "\"" + holder + "\"";
    ASSERT_TRUE(CreateProcessA(holder.c_str(), command.data(), nullptr, nullptr, FALSE,
                               EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup.StartupInfo,
                               &holder_))
        << holder;

    // The holder attaches to the console as it starts.
    FreeConsole();
    bool attached = false;
    for (int i = 0; i < 100 && !attached; ++i) {
      attached = AttachConsole(holder_.dwProcessId) != 0;
      if (!attached) Sleep(20);
    }
    ASSERT_TRUE(attached) << "error " << GetLastError();
    input_ = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(input_, INVALID_HANDLE_VALUE);
    // The console backend takes its input from standard input.
    SetStdHandle(STD_INPUT_HANDLE, input_);
  }

  static void TearDownTestSuite() {
    FreeConsole();
    if (holder_.hProcess != nullptr) {
      TerminateProcess(holder_.hProcess, 0);
      CloseHandle(holder_.hProcess);
      CloseHandle(holder_.hThread);
    }
    using ClosePseudoConsole = void(WINAPI*)(void*);
    if (pseudo_console_ != nullptr)
      Kernel32<ClosePseudoConsole>("ClosePseudoConsole")(pseudo_console_);
    for (HANDLE handle : {input_, input_read_, input_write_, output_read_, output_write_}) {
      if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
  }

  void SetUp() override {
    ASSERT_NE(input_, nullptr);
    ASSERT_TRUE(FlushConsoleInputBuffer(input_));
    raw_ = MakeRawConsole();
    wait_ = MakeEventWait(*serial_, *raw_, *clock_);
  }

  void Write(const std::vector<INPUT_RECORD>& records) {
    DWORD written = 0;
    ASSERT_TRUE(
        WriteConsoleInputA(input_, records.data(), static_cast<DWORD>(records.size()), &written));
    ASSERT_EQ(written, records.size());
  }

  WaitResult WaitForConsole(int64_t deadline_us) {
    return wait_->Wait(WaitFor{.port = 0, .console = true, .deadline_us = deadline_us});
  }

  // A wait that nothing ends before its deadline.
  void ExpectQuietUntilDeadline(const char* what) {
    const int64_t deadline = clock_->MonotonicMicros() + 30'000;
    const WaitResult r = WaitForConsole(deadline);
    EXPECT_FALSE(r.console) << what;
    EXPECT_GE(clock_->MonotonicMicros(), deadline) << what;
    DWORD left = 1;
    EXPECT_TRUE(GetNumberOfConsoleInputEvents(input_, &left));
    EXPECT_EQ(left, 0u) << what << ": records left in the input";
  }

  std::string PolledKey() {
    const std::optional<KeyEvent> key = raw_->PollKey();
    if (!key) return "none";
    return (key->extended ? "0 " : "") + std::to_string(key->code);
  }

  static inline HANDLE input_read_ = nullptr;
  static inline HANDLE input_write_ = nullptr;
  static inline HANDLE output_read_ = nullptr;
  static inline HANDLE output_write_ = nullptr;
  static inline void* pseudo_console_ = nullptr;
  static inline std::vector<char> attributes_;
  static inline PROCESS_INFORMATION holder_{};
  static inline HANDLE input_ = nullptr;

  std::unique_ptr<Clock> clock_ = MakeClock();
  std::unique_ptr<Serial> serial_ = MakeSerial();
  std::unique_ptr<RawConsole> raw_;
  std::unique_ptr<EventWait> wait_;
};

TEST_F(EventWaitConsoleTest, KeyWakesTheWaitAndItsReleaseDoesNotKeepItAwake) {
  Write({Key(true, 'A', 30, 'a'), Key(false, 'A', 30, 'a')});
  const int64_t start = clock_->MonotonicMicros();
  const WaitResult r = WaitForConsole(start + kFarUs);
  EXPECT_TRUE(r.console);
  EXPECT_LT(clock_->MonotonicMicros(), start + kFarUs);
  EXPECT_EQ(PolledKey(), "97");
  ExpectQuietUntilDeadline("the key's release");
}

TEST_F(EventWaitConsoleTest, RecordsThatAreNoKeysDoNotEndTheWait) {
  Write({Other(FOCUS_EVENT), Other(MOUSE_EVENT), Other(MENU_EVENT), Key(false, 'X', 45, 'x'),
         Key(true, VK_SHIFT, 42, 0, SHIFT_PRESSED)});
  ExpectQuietUntilDeadline("focus, mouse, menu, a release, Shift alone");
  EXPECT_EQ(PolledKey(), "none");
}

// The ringer resized the console window: the counting loop redraws at once.
TEST_F(EventWaitConsoleTest, AWindowSizeRecordEndsTheWaitAsAResizeOnly) {
  Write({Other(FOCUS_EVENT), Other(WINDOW_BUFFER_SIZE_EVENT)});
  const WaitResult r = WaitForConsole(clock_->MonotonicMicros() + kFarUs);
  EXPECT_TRUE(r.resized);
  EXPECT_FALSE(r.console);
  EXPECT_EQ(PolledKey(), "none");
  ExpectQuietUntilDeadline("after the size record was taken");
}

TEST_F(EventWaitConsoleTest, KeysAmongOtherRecordsKeepTheirOrder) {
  Write({Other(FOCUS_EVENT), Key(true, 'A', 30, 'a'), Other(MOUSE_EVENT), Key(true, 'B', 48, 'b'),
         Key(false, 'A', 30, 'a'), Key(true, VK_F1, 59, 0), Key(false, 'B', 48, 'b')});
  for (const char* want : {"97", "98", "0 59"}) {
    EXPECT_TRUE(WaitForConsole(clock_->MonotonicMicros() + kFarUs).console) << want;
    EXPECT_EQ(PolledKey(), want);
  }
  ExpectQuietUntilDeadline("after the last key");
}

// Alt with keypad 6 and 5 types 'A' when Alt is let go: that release is a key.
TEST_F(EventWaitConsoleTest, AltKeypadCodeArrivesWithTheAltRelease) {
  Write({Key(true, VK_MENU, 56, 0, LEFT_ALT_PRESSED), Key(true, VK_RIGHT, 77, 0, LEFT_ALT_PRESSED),
         Key(false, VK_RIGHT, 77, 0, LEFT_ALT_PRESSED),
         Key(true, VK_CLEAR, 76, 0, LEFT_ALT_PRESSED),
         Key(false, VK_CLEAR, 76, 0, LEFT_ALT_PRESSED)});
  ExpectQuietUntilDeadline("Alt held, digits typed");
  Write({Key(false, VK_MENU, 56, 'A')});
  EXPECT_TRUE(WaitForConsole(clock_->MonotonicMicros() + kFarUs).console);
  EXPECT_EQ(PolledKey(), "65");
}

}  // namespace
}  // namespace strikewell
