// What the Win32 backends of this folder share: the file error, the handle's owner and
// the write loop. Included only by *Win32.cpp files, never by portable code.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "AEErrors.h"
#include "AETextWin32.h"

// Raises EAEFileError "<step> "<path>": <system message>".
[[noreturn]] inline void ThrowFileError(const std::string& step, const std::string& path, DWORD err) {
  throw EAEFileError(step + " \"" + path + "\": " + Win32ErrorText(err), static_cast<int>(err));
}

// 0 or the GetLastError of the failed write. A write that takes nothing would never
// finish and is no success either: it fails as ERROR_WRITE_FAULT.
inline DWORD WriteAll(HANDLE h, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD put = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    if (!WriteFile(h, bytes.data() + done, chunk, &put, nullptr)) return GetLastError();
    if (put == 0) return ERROR_WRITE_FAULT;
    done += put;
  }
  return 0;
}

// Owns a file handle.
class TScopedHandle {
 public:
  explicit TScopedHandle(HANDLE h) : FHandle(h) {}
  TScopedHandle(const TScopedHandle&) = delete;
  TScopedHandle& operator=(const TScopedHandle&) = delete;
  ~TScopedHandle() {
    if (Valid()) CloseHandle(FHandle);  // nothing to report after a completed read or write
  }
  bool Valid() const { return FHandle != INVALID_HANDLE_VALUE && FHandle != nullptr; }
  HANDLE Get() const { return FHandle; }

 private:
  HANDLE FHandle;
};
