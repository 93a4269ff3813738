// Serial ports through the Windows communications functions.
#include <windows.h>

#include <map>
#include <memory>
#include <string>

#include "platform/backends.h"
#include "platform/serial.h"

namespace strikewell {
namespace {

static_assert(sizeof(DCB) == 28, "DCBlength is the structure's own size, 28 bytes");

constexpr DWORD kQueueSize = 2048;
constexpr DWORD kWriteTimeoutMs = 30000;

class Win32Serial : public Serial {
 public:
  ~Win32Serial() override {
    for (const auto& [handle, port] : ports_) CloseHandle(port);
  }

  SerHandle SerOpen(const std::string& device_name) override {
    // nLength is the structure's size: 12 bytes on 32-bit Windows, 24 on 64-bit.
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof inheritable;
    inheritable.lpSecurityDescriptor = nullptr;
    inheritable.bInheritHandle = TRUE;
    // Share mode 0: a port that another program has open fails here.
    HANDLE port = CreateFileA(device_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inheritable,
                              OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE || port == nullptr) return 0;
    if (!SetParams(port, 9600, 8, TParityType::NoneParity, 1, TSerialFlags{})) {
      CloseHandle(port);
      return 0;
    }
    const SerHandle handle = NewHandle();
    ports_[handle] = port;
    return handle;
  }

  void SerSetParams(SerHandle handle, int32_t bit_rate, int32_t data_bits, TParityType parity,
                    int32_t stop_bits, TSerialFlags flags) override {
    if (HANDLE port = Port(handle)) SetParams(port, bit_rate, data_bits, parity, stop_bits, flags);
  }

  void SerSetDTR(SerHandle handle, bool on) override {
    HANDLE port = Port(handle);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (port == nullptr || !GetCommState(port, &dcb)) return;
    dcb.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    SetCommState(port, &dcb);
  }

  void SerSetRTS(SerHandle handle, bool on) override {
    HANDLE port = Port(handle);
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
    HANDLE port = Port(handle);
    if (port == nullptr || buffer == nullptr) return 0;
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
    uint8_t byte = 0;
    DWORD got = 0;
    if (!ReadFile(port, &byte, 1, &got, nullptr) || got != 1) return 0;
    buffer[0] = byte;
    return 1;
  }

  void SerSync(SerHandle handle) override {
    if (HANDLE port = Port(handle)) FlushFileBuffers(port);
  }

  void SerFlushOutput(SerHandle handle) override {
    // Received data is left alone.
    if (HANDLE port = Port(handle)) PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
  }

  void SerClose(SerHandle handle) override {
    auto it = ports_.find(handle);
    if (it == ports_.end()) return;
    CloseHandle(it->second);
    ports_.erase(it);
  }

 private:
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
    HANDLE port = Port(handle);
    DWORD status = 0;
    if (port == nullptr || !GetCommModemStatus(port, &status)) return false;
    return (status & bit) != 0;
  }

  HANDLE Port(SerHandle handle) const {
    auto it = ports_.find(handle);
    return it == ports_.end() ? nullptr : it->second;
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

  std::map<SerHandle, HANDLE> ports_;
  SerHandle next_handle_ = 1;
};

}  // namespace

std::unique_ptr<Serial> MakeSerial() { return std::make_unique<Win32Serial>(); }

}  // namespace strikewell
