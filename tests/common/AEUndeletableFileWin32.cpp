#include <windows.h>

#include <filesystem>
#include <stdexcept>

#include "AEUndeletableFile.h"

TAEUndeletableFile::TAEUndeletableFile(const std::string& path) : FPath(path), FHandle(0) {
  // No FILE_SHARE_DELETE: while this handle is open, nobody can delete the file.
  const HANDLE h = CreateFileW(std::filesystem::path(path).wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("create " + path + ": error " + std::to_string(GetLastError()));
  DWORD put = 0;
  WriteFile(h, "keep", 4, &put, nullptr);
  FHandle = reinterpret_cast<std::intptr_t>(h);
}

TAEUndeletableFile::~TAEUndeletableFile() { CloseHandle(reinterpret_cast<HANDLE>(FHandle)); }
