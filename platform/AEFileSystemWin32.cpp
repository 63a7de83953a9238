#include <windows.h>

#include <algorithm>
#include <utility>

#include "AEFileSystem.h"
#include "AEWin32Private.h"

namespace {

DWORD Attributes(const std::string& path) { return GetFileAttributesW(Utf8ToWide(path).c_str()); }

}  // namespace

std::string ExecutablePath() {
  std::wstring buf(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  buf.resize(n);
  return WideToUtf8(buf);
}

bool FileExists(const std::string& path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::string& path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

// Reads h to its end into out after what it holds. The size is a guess only (the file
// may change meanwhile); the spare byte lets the read that meets the end find room
// without growing out.
void AppendToEnd(HANDLE h, const std::string& path, std::string& out) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h, &size)) size.QuadPart = 0;
  const std::size_t start = out.size();
  std::size_t used = start;
  out.resize(start + static_cast<std::size_t>(size.QuadPart) + 1);
  for (;;) {
    if (used == out.size()) out.resize(out.size() + out.size() / 2 + 65536);
    DWORD got = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(out.size() - used, 1u << 30));
    if (!ReadFile(h, out.data() + used, chunk, &got, nullptr)) {
      const DWORD err = GetLastError();
      out.resize(start);
      ThrowFileError("Cannot read file", path, err);
    }
    if (got == 0) break;
    used += got;
  }
  out.resize(used);
}

HANDLE OpenForReading(const std::string& path) {
  return CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool TryReadWholeFile(const std::string& path, std::string& out) {
  TScopedHandle h(OpenForReading(path));
  if (!h.Valid()) {
    const DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return false;
    ThrowFileError("Cannot open file", path, err);
  }
  out.clear();
  AppendToEnd(h.Get(), path, out);
  return true;
}

bool TryAppendFile(const std::string& path, std::string& out) {
  TScopedHandle h(OpenForReading(path));
  if (!h.Valid()) {
    const DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return false;
    // A folder cannot be opened as a file; it is no file, not a failure.
    if (err == ERROR_ACCESS_DENIED && DirectoryExists(path)) return false;
    ThrowFileError("Cannot open file", path, err);
  }
  AppendToEnd(h.Get(), path, out);
  return true;
}

void WriteWholeFile(const std::string& path, std::string_view bytes) {
  TScopedHandle h(CreateFileW(Utf8ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.Valid()) ThrowFileError("Cannot create file", path, GetLastError());
  if (const DWORD err = WriteAll(h.Get(), bytes); err != 0) ThrowFileError("Cannot write file", path, err);
}

void ForceDirectories(const std::string& path) {
  if (path.empty() || DirectoryExists(path)) return;
  std::string trimmed = path;
  while (trimmed.size() > 1 && (trimmed.back() == '\\' || trimmed.back() == '/')) trimmed.pop_back();
  if (trimmed.size() == 2 && trimmed[1] == ':') return;  // drive root
  const std::size_t slash = trimmed.find_last_of("\\/");
  if (slash != std::string::npos && slash > 0) ForceDirectories(trimmed.substr(0, slash));
  if (!CreateDirectoryW(Utf8ToWide(trimmed).c_str(), nullptr)) {
    const DWORD err = GetLastError();
    if (err != ERROR_ALREADY_EXISTS) ThrowFileError("Unable to create directory", trimmed, err);
  }
}
