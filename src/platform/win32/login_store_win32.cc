// The kept Ringing Room login on Windows: one file under %APPDATA%\strikewell, its
// text protected for the user with CryptProtectData, so that the file's bytes are
// of no use to another account or on another computer.
#include <windows.h>

#include <dpapi.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/backends.h"
#include "platform/win32/network_win32.h"

namespace strikewell {
namespace {

// Far more than an email, a server, a tower and a token take; a bigger file is not
// ours.
constexpr DWORD kMaxFileBytes = 64 * 1024;
// Ties the protected text to this program: another program of the same user that
// unprotects everything it finds must also know this.
constexpr char kEntropy[] = "strikewell ringingroom login";

// The system's words for an error, on one line.
std::string SystemText(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string words = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' ||
                            words.back() == '.')) {
    words.pop_back();
  }
  if (words.empty()) words = "error";
  return words + " (error " + std::to_string(code) + ")";
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// Memory that CryptProtectData or CryptUnprotectData handed out.
class Blob {
 public:
  Blob() = default;
  ~Blob() {
    if (blob.pbData == nullptr) return;
    SecureZeroMemory(blob.pbData, blob.cbData);
    LocalFree(blob.pbData);
  }
  Blob(const Blob&) = delete;
  Blob& operator=(const Blob&) = delete;

  DATA_BLOB blob{};
};

DATA_BLOB Entropy() {
  DATA_BLOB entropy;
  entropy.cbData = sizeof kEntropy - 1;
  entropy.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(kEntropy));
  return entropy;
}

class Win32LoginStore final : public LoginStore {
 public:
  explicit Win32LoginStore(std::wstring path) : path_(std::move(path)) {}

  std::optional<std::string> Read(std::string& error) override {
    error.clear();
    if (path_.empty()) {
      error = kNoFolder;
      return std::nullopt;
    }
    Handle file(CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
        error = "cannot read " + Where() + ": " + SystemText(code);
      }
      return std::nullopt;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxFileBytes) {
      error = "cannot read " + Where() + ": it is not a login kept by strikewell";
      return std::nullopt;
    }
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
         got != bytes.size())) {
      error = "cannot read " + Where() + ": " + SystemText(GetLastError());
      return std::nullopt;
    }
    DATA_BLOB in;
    in.cbData = static_cast<DWORD>(bytes.size());
    in.pbData = reinterpret_cast<BYTE*>(bytes.data());
    DATA_BLOB entropy = Entropy();
    Blob out;
    if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &out.blob)) {
      error = "cannot unprotect " + Where() +
              " (kept by another Windows user or computer?): " + SystemText(GetLastError());
      return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(out.blob.pbData), out.blob.cbData);
  }

  bool Write(const std::string& text, std::string& error) override {
    error.clear();
    if (path_.empty()) {
      error = kNoFolder;
      return false;
    }
    DATA_BLOB in;
    in.cbData = static_cast<DWORD>(text.size());
    in.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(text.data()));
    DATA_BLOB entropy = Entropy();
    Blob out;
    if (!CryptProtectData(&in, L"strikewell Ringing Room login", &entropy, nullptr, nullptr,
                          CRYPTPROTECT_UI_FORBIDDEN, &out.blob)) {
      error = "cannot protect the login: " + SystemText(GetLastError());
      return false;
    }
    const std::wstring folder = path_.substr(0, path_.find_last_of(L"\\/"));
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      error = "cannot make the folder " + Utf8FromWide(folder) + ": " + SystemText(GetLastError());
      return false;
    }
    // Written beside the old file and renamed over it: a crash leaves the old login
    // or the new one, never half of one.
    const std::wstring temporary = path_ + L".new";
    Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
      error = "cannot write " + Utf8FromWide(temporary) + ": " + SystemText(GetLastError());
      return false;
    }
    DWORD written = 0;
    const bool whole = WriteFile(file.get(), out.blob.pbData, out.blob.cbData, &written, nullptr) &&
                       written == out.blob.cbData && FlushFileBuffers(file.get());
    const DWORD write_error = GetLastError();
    file.Close();
    if (!whole) {
      DeleteFileW(temporary.c_str());
      error = "cannot write " + Utf8FromWide(temporary) + ": " + SystemText(write_error);
      return false;
    }
    if (!MoveFileExW(temporary.c_str(), path_.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      const DWORD code = GetLastError();
      DeleteFileW(temporary.c_str());
      error = "cannot replace " + Where() + ": " + SystemText(code);
      return false;
    }
    return true;
  }

  bool Remove(std::string& error) override {
    error.clear();
    if (path_.empty()) return true;
    DeleteFileW((path_ + L".new").c_str());
    if (!DeleteFileW(path_.c_str())) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
      error = "cannot remove " + Where() + ": " + SystemText(code);
      return false;
    }
    return true;
  }

  std::string Where() override {
    return path_.empty() ? "%APPDATA%\\strikewell\\ringingroom" : Utf8FromWide(path_);
  }

 private:
  static constexpr const char* kNoFolder =
      "APPDATA is not set, so there is no folder to keep the login in";

  std::wstring path_;
};

}  // namespace

std::unique_ptr<LoginStore> MakeWin32LoginStore(const std::wstring& path) {
  return std::make_unique<Win32LoginStore>(path);
}

std::unique_ptr<LoginStore> MakeLoginStore() {
  wchar_t folder[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"APPDATA", folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return MakeWin32LoginStore(L"");
  return MakeWin32LoginStore(std::wstring(folder, length) + L"\\strikewell\\ringingroom");
}

}  // namespace strikewell
