// What the Windows wait and the tests share with the WinHTTP network backend beyond
// MakeNetwork() and MakeLoginStore().
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/network.h"

namespace strikewell {

// The network backend as the wait sees it (MakeNetwork() gives one).
class Win32Network : public Network {
 public:
  // A manual-reset event that is signalled while news of any of this network's
  // WebSockets waits to be taken with WebSocket::Next, and only then.
  virtual HANDLE NewsEvent() = 0;
};

// Windows' UTF-16 text as UTF-8.
std::string Utf8FromWide(const std::wstring& wide);

// A login store that keeps its file at path ("...\strikewell\ringingroom"), making
// the file's folder (not its parents) when it writes. MakeLoginStore() gives the one
// under %APPDATA%.
std::unique_ptr<LoginStore> MakeWin32LoginStore(const std::wstring& path);

}  // namespace strikewell
