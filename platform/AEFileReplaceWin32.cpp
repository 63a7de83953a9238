#include <windows.h>

#include <algorithm>

#include "AEFileReplace.h"
#include "AEWin32Private.h"

namespace {

// Windows says "path not found" also when a file stands where a folder must be; only a
// parent that is not there at all is a missing folder.
bool ParentExists(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return true;
  return GetFileAttributesW(path.substr(0, cut).c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool ReplaceFileContents(const std::string& path, std::string_view head, std::string_view body) {
  // Closing the console window ends the process as soon as the control handler
  // returns, in the middle of a write if need be: only the temporary can be cut short.
  const std::wstring target = Utf8ToWide(path);
  const std::wstring temp = target + L".tmp";
  // Share mode 0: while it is written, nobody can open it.
  const HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    if (err == ERROR_PATH_NOT_FOUND && !ParentExists(target)) return false;
    ThrowFileError("Cannot create file", path, err);
  }
  DWORD err = WriteAll(h, head);
  if (err == 0) err = WriteAll(h, body);
  if (!CloseHandle(h) && err == 0) err = GetLastError();
  // A reader that holds the old file open (the wave server) makes the move fail.
  if (err == 0 && !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    err = GetLastError();
    // The folder was removed between the close and the move (the temporary went with it).
    if ((err == ERROR_PATH_NOT_FOUND || err == ERROR_FILE_NOT_FOUND) && !ParentExists(target)) return false;
  }
  if (err != 0) {
    DeleteFileW(temp.c_str());
    ThrowFileError("Cannot write file", path, err);
  }
  return true;
}
