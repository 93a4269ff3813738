// Serial ports through the Windows communications functions.
#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/backends.h"
#include "platform/serial.h"
#include "platform/win32/comm_watch_win32.h"

namespace strikewell {
namespace {

static_assert(sizeof(DCB) == 28, "DCBlength is the structure's own size, 28 bytes");

constexpr DWORD kQueueSize = 2048;
constexpr DWORD kWriteTimeoutMs = 30000;
// The driver ends every read at its time-out; this only keeps a driver that never
// does from holding the program for ever.
constexpr DWORD kReadGraceMs = 1000;

// The FTDI driver keeps each adapter's settings under
// Enum\FTDIBUS\<device id>\<instance>\Device Parameters, its COM name in PortName.
constexpr const char* kFtdiBusKey = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";

// Closes a registry key on every way out.
class RegKey {
 public:
  RegKey(HKEY parent, const std::string& path) {
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~RegKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  HKEY get() const { return key_; }

  std::vector<std::string> SubkeyNames() const {
    std::vector<std::string> names;
    char name[256];  // a key name has at most 255 characters
    for (DWORD i = 0; key_ != nullptr; ++i) {
      DWORD length = sizeof name;
      if (RegEnumKeyExA(key_, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      names.emplace_back(name, length);
    }
    return names;
  }

 private:
  HKEY key_ = nullptr;
};

// "COM5" of "\\.\COM5": the name the drivers and the registry use.
std::string PortName(const std::string& device_name) {
  const std::string prefix(kDevicePrefix);
  return device_name.starts_with(prefix) ? device_name.substr(prefix.size()) : device_name;
}

// The LatencyTimer of the FTDI adapter whose PortName is port_name; 0 when no such
// adapter is listed or its value is not a number.
DWORD FtdiLatencyTimer(const std::string& port_name) {
  const RegKey bus(HKEY_LOCAL_MACHINE, kFtdiBusKey);
  for (const std::string& device : bus.SubkeyNames()) {
    const RegKey device_key(bus.get(), device);
    for (const std::string& instance : device_key.SubkeyNames()) {
      const RegKey parameters(device_key.get(), instance + "\\Device Parameters");
      char name[64];
      DWORD size = sizeof name;
      if (parameters.get() == nullptr ||
          RegGetValueA(parameters.get(), nullptr, "PortName", RRF_RT_REG_SZ, nullptr, name,
                       &size) != ERROR_SUCCESS ||
          lstrcmpiA(name, port_name.c_str()) != 0) {
        continue;
      }
      DWORD latency = 0;
      size = sizeof latency;
      return RegGetValueA(parameters.get(), nullptr, "LatencyTimer", RRF_RT_REG_DWORD, nullptr,
                          &latency, &size) == ERROR_SUCCESS
                 ? latency
                 : 0;
    }
  }
  return 0;
}

class Win32Serial : public Win32SerialPorts {
 public:
  ~Win32Serial() override {
    for (auto& [handle, port] : ports_) Close(port);
  }

  SerHandle SerOpen(const std::string& device_name) override {
    // Windows' own serial drivers refuse a second opener; a tty that Wine maps as a
    // COM port does not, nor need every virtual port's driver. The table refuses a
    // port this program has open, so that no port is ever read through two handles.
    if (Opened(PortName(device_name))) return 0;
    // nLength is the structure's size: 12 bytes on 32-bit Windows, 24 on 64-bit.
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof inheritable;
    inheritable.lpSecurityDescriptor = nullptr;
    inheritable.bInheritHandle = TRUE;
    // Share mode 0: a port that another program has open fails here. Overlapped, so
    // that the counting wait can wait for the port's events while reads go on.
    HANDLE port = CreateFileA(device_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inheritable,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE || port == nullptr) return 0;
    // Manual reset, as overlapped reads need.
    HANDLE read_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (read_done == nullptr ||
        !SetParams(port, 9600, 8, TParityType::NoneParity, 1, TSerialFlags{})) {
      if (read_done != nullptr) CloseHandle(read_done);
      CloseHandle(port);
      return 0;
    }
    const SerHandle handle = NewHandle();
    ports_[handle] = Port{port, read_done, PortName(device_name), nullptr};
    return handle;
  }

  void SerSetParams(SerHandle handle, int32_t bit_rate, int32_t data_bits, TParityType parity,
                    int32_t stop_bits, TSerialFlags flags) override {
    if (HANDLE port = PortHandle(handle)) {
      SetParams(port, bit_rate, data_bits, parity, stop_bits, flags);
    }
  }

  void SerSetDTR(SerHandle handle, bool on) override {
    HANDLE port = PortHandle(handle);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (port == nullptr || !GetCommState(port, &dcb)) return;
    dcb.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    SetCommState(port, &dcb);
  }

  void SerSetRTS(SerHandle handle, bool on) override {
    HANDLE port = PortHandle(handle);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (port == nullptr || !GetCommState(port, &dcb)) return;
    // A fixed level also ends RTS_CONTROL_HANDSHAKE.
    dcb.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    SetCommState(port, &dcb);
  }

  bool SerGetCTS(SerHandle handle) override { return LineOn(handle, MS_CTS_ON); }
  bool SerGetDSR(SerHandle handle) override { return LineOn(handle, MS_DSR_ON); }
  bool SerGetCD(SerHandle handle) override { return LineOn(handle, MS_RLSD_ON); }
  bool SerGetRI(SerHandle handle) override { return LineOn(handle, MS_RING_ON); }

  int32_t SerReadTimeout(SerHandle handle, uint8_t* buffer, int32_t timeout_ms) override {
    auto it = ports_.find(handle);
    if (it == ports_.end() || buffer == nullptr) return 0;
    HANDLE port = it->second.handle;
    // Wine leaves an overlapped read with the "return at once" time-outs below waiting
    // until a byte comes: with nothing queued there is nothing to read.
    DWORD errors = 0;
    COMSTAT queue{};
    if (timeout_ms <= 0) {
      if (!ClearCommError(port, &errors, &queue)) {
        NoteFailure(it->second);
        return 0;
      }
      if (queue.cbInQue == 0) return 0;
    }
    COMMTIMEOUTS timeouts{};
    if (GetCommTimeouts(port, &timeouts)) {
      if (timeout_ms > 0) {
        timeouts.ReadIntervalTimeout = 0;
        timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout_ms);
      } else {
        // All-zero read time-outs mean "wait for ever"; a time-out of 0 (or less)
        // asks for what has already arrived, which MAXDWORD with zero totals gives.
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = 0;
      }
      SetCommTimeouts(port, &timeouts);
    }
    // The byte and the OVERLAPPED stay in place until the read has ended, whichever
    // way it ends.
    uint8_t byte = 0;
    OVERLAPPED read{};
    read.hEvent = it->second.read_done;
    bool cancelled = false;
    if (!ReadFile(port, &byte, 1, nullptr, &read)) {
      if (GetLastError() != ERROR_IO_PENDING) {
        NoteFailure(it->second);
        return 0;
      }
      const DWORD limit = (timeout_ms > 0 ? static_cast<DWORD>(timeout_ms) : 0) + kReadGraceMs;
      if (WaitForSingleObject(read.hEvent, limit) != WAIT_OBJECT_0) {
        cancelled = CancelIoEx(port, &read) != 0;
      }
    }
    DWORD got = 0;
    if (!GetOverlappedResult(port, &read, &got, TRUE)) {
      // Our own cancel ends the read as aborted too; only someone else's is news.
      if (!cancelled) NoteFailure(it->second);
      return 0;
    }
    if (got != 1) return 0;
    buffer[0] = byte;
    return 1;
  }

  // Windows drivers keep no counts of line changes that a program can read: these
  // are the counts the port's watch keeps from its events, so there are counts
  // only while the counting wait watches the port's lines.
  bool SerGetLineCounts(SerHandle handle, LineCounts& counts) override {
    auto it = ports_.find(handle);
    return it != ports_.end() && it->second.watch != nullptr && it->second.watch->Counts(counts);
  }

  // Nothing to ask: a standard port reports at interrupt time, and an FTDI adapter's
  // latency timer is a registry setting of its driver, read when the port is
  // opened, that only an administrator may change (SerLatencyTimerMs reports it).
  void SerSetLowLatency(SerHandle) override {}

  int32_t SerLatencyTimerMs(SerHandle handle) override {
    auto it = ports_.find(handle);
    if (it == ports_.end()) return 0;
    const DWORD latency = FtdiLatencyTimer(it->second.name);
    return latency > 1 && latency <= INT32_MAX ? static_cast<int32_t>(latency) : 0;
  }

  CommWatch* WatchPort(SerHandle handle) override {
    auto it = ports_.find(handle);
    if (it == ports_.end()) return nullptr;
    if (it->second.watch == nullptr)
      it->second.watch = std::make_unique<CommWatch>(it->second.handle);
    return it->second.watch.get();
  }

  void SerSync(SerHandle handle) override {
    if (HANDLE port = PortHandle(handle)) FlushFileBuffers(port);
  }

  void SerFlushOutput(SerHandle handle) override {
    // Received data is left alone.
    if (HANDLE port = PortHandle(handle)) PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
  }

  bool SerPortLost(SerHandle handle) override {
    auto it = ports_.find(handle);
    if (it == ports_.end()) return false;
    if (!it->second.lost) {
      DWORD errors = 0;
      COMSTAT queue{};
      if (!ClearCommError(it->second.handle, &errors, &queue)) NoteFailure(it->second);
    }
    return it->second.lost;
  }

  void SerClose(SerHandle handle) override {
    auto it = ports_.find(handle);
    if (it == ports_.end()) return;
    Close(it->second);
    ports_.erase(it);
  }

 private:
  struct Port {
    HANDLE handle;
    HANDLE read_done;  // the event of overlapped reads
    std::string name;  // "COM5"
    std::unique_ptr<CommWatch> watch;
    bool lost = false;  // a call found the device gone
  };

  // After a failed call: the device has gone when the error says so.
  static void NoteFailure(Port& port) {
    if (DeviceGoneError(GetLastError())) port.lost = true;
  }

  static void Close(Port& port) {
    // The watch's wait ends before the handle goes.
    port.watch.reset();
    CloseHandle(port.handle);
    CloseHandle(port.read_done);
  }

  // The DCB starts at zero, so every call turns DTR and RTS off (callers turn them
  // on again) and leaves parity checking, XON/XOFF and DSR handshaking off.
  // A failed step does not stop the later ones; all of them must succeed.
  static bool SetParams(HANDLE port, int32_t bit_rate, int32_t data_bits, TParityType parity,
                        int32_t stop_bits, TSerialFlags flags) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(bit_rate);
    dcb.fBinary = 1;
    dcb.ByteSize = static_cast<BYTE>(data_bits & 0xFF);
    switch (parity) {
      case TParityType::OddParity:
        dcb.Parity = ODDPARITY;
        break;
      case TParityType::EvenParity:
        dcb.Parity = EVENPARITY;
        break;
      default:
        dcb.Parity = NOPARITY;
        break;
    }
    // One and a half stop bits cannot be asked for.
    dcb.StopBits = stop_bits > 1 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.XonLim = 512;
    dcb.XoffLim = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (flags.RtsCtsFlowControl) {
      dcb.fOutxCtsFlow = 1;
      dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    bool ok = SetCommState(port, &dcb) != 0;

    // Until the first read with a time-out, reads return at once with what is there.
    COMMTIMEOUTS timeouts{};
    if (GetCommTimeouts(port, &timeouts)) {
      timeouts.ReadIntervalTimeout = MAXDWORD;
      timeouts.ReadTotalTimeoutMultiplier = 0;
      timeouts.ReadTotalTimeoutConstant = 0;
      timeouts.WriteTotalTimeoutMultiplier = 0;
      timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
      ok = SetCommTimeouts(port, &timeouts) != 0 && ok;
    } else {
      ok = false;
    }
    ok = SetupComm(port, kQueueSize, kQueueSize) != 0 && ok;
    return ok;
  }

  bool LineOn(SerHandle handle, DWORD bit) {
    auto it = ports_.find(handle);
    DWORD status = 0;
    if (it == ports_.end()) return false;
    if (!GetCommModemStatus(it->second.handle, &status)) {
      NoteFailure(it->second);
      return false;
    }
    return (status & bit) != 0;
  }

  bool Opened(const std::string& port_name) const {
    for (const auto& [handle, port] : ports_) {
      if (lstrcmpiA(port.name.c_str(), port_name.c_str()) == 0) return true;
    }
    return false;
  }

  HANDLE PortHandle(SerHandle handle) const {
    auto it = ports_.find(handle);
    return it == ports_.end() ? nullptr : it->second.handle;
  }

  // HANDLE values are pointers on 64-bit Windows: the program's 32-bit handles are
  // numbers from this table instead, counting up from 1.
  SerHandle NewHandle() {
    for (;;) {
      const SerHandle h = next_handle_;
      next_handle_ = next_handle_ == INT32_MAX ? 1 : next_handle_ + 1;
      if (!ports_.contains(h)) return h;
    }
  }

  std::map<SerHandle, Port> ports_;
  SerHandle next_handle_ = 1;
};

}  // namespace

std::unique_ptr<Serial> MakeSerial() { return std::make_unique<Win32Serial>(); }

}  // namespace strikewell
