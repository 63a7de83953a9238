#include <windows.h>

#include "AEDirectory.h"
#include "AEWin32Private.h"

namespace {

class TScopedFind {
 public:
  explicit TScopedFind(HANDLE h) : FHandle(h) {}
  TScopedFind(const TScopedFind&) = delete;
  TScopedFind& operator=(const TScopedFind&) = delete;
  ~TScopedFind() {
    if (FHandle != INVALID_HANDLE_VALUE) FindClose(FHandle);  // read only: nothing a close error could lose
  }
  HANDLE Get() const { return FHandle; }

 private:
  HANDLE FHandle;
};

bool IsDotName(const wchar_t* n) { return n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0')); }

// A junction or symbolic link to a folder carries the directory flag too; it is
// removed as itself, never entered.
bool IsRealFolder(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

std::wstring WithDelimiter(std::wstring path) {
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path.push_back(L'\\');
  return path;
}

struct TEntry {
  std::wstring Name;
  DWORD Attributes;
};

// The entries of folder; false with *error set when it cannot be opened. An empty folder
// still lists "." and "..", so "file not found" means the folder itself is missing.
bool ReadEntries(const std::wstring& folder, std::vector<TEntry>& out, DWORD* error) {
  WIN32_FIND_DATAW data;
  TScopedFind find(FindFirstFileExW((WithDelimiter(folder) + L"*").c_str(), FindExInfoBasic, &data,
                                    FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (find.Get() == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  do {
    if (!IsDotName(data.cFileName)) out.push_back({data.cFileName, data.dwFileAttributes});
  } while (FindNextFileW(find.Get(), &data));
  const DWORD err = GetLastError();
  *error = err == ERROR_NO_MORE_FILES ? 0 : err;
  return *error == 0;
}

void DeleteContents(const std::wstring& folder) {
  std::vector<TEntry> entries;
  DWORD error = 0;
  ReadEntries(folder, entries, &error);  // what could not be read is not deleted
  const std::wstring prefix = WithDelimiter(folder);
  for (const TEntry& e : entries) {
    const std::wstring path = prefix + e.Name;
    // Normal attributes first: DeleteFile and RemoveDirectory refuse read-only entries.
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (IsRealFolder(e.Attributes)) {
      DeleteContents(path);
      RemoveDirectoryW(path.c_str());  // fails, and stays, when something is left in it
    } else if ((e.Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      RemoveDirectoryW(path.c_str());  // a link to a folder: only the link goes
    } else {
      DeleteFileW(path.c_str());  // an open or protected file stays
    }
  }
}

bool IsPlainFile(DWORD attributes) {
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Names of the entries of folder whose attributes pass isKind and that match mask.
// Matched here on the long name: the system's own mask matching would also try the
// short 8.3 alias, so that "*.aeh" found "x.aehx" too.
std::vector<std::string> ListEntries(const std::string& folder, std::string_view mask, bool (*isKind)(DWORD)) {
  std::vector<TEntry> entries;
  DWORD error = 0;
  if (!ReadEntries(Utf8ToWide(folder), entries, &error)) ThrowFileError("Cannot list folder", folder, error);
  std::vector<std::string> names;
  for (const TEntry& e : entries) {
    if (!isKind(e.Attributes)) continue;
    std::string name = WideToUtf8(e.Name);
    if (MatchesMask(name, mask)) names.push_back(std::move(name));
  }
  return names;
}

}  // namespace

std::vector<std::string> ListFolders(const std::string& folder, std::string_view mask) {
  return ListEntries(folder, mask, IsRealFolder);
}

std::vector<std::string> ListFiles(const std::string& folder, std::string_view mask) {
  return ListEntries(folder, mask, IsPlainFile);
}

bool IsFolderEmpty(const std::string& folder) {
  std::vector<TEntry> entries;
  DWORD error = 0;
  if (!ReadEntries(Utf8ToWide(folder), entries, &error)) ThrowFileError("Cannot read folder", folder, error);
  return entries.empty();
}

void DeleteFolderTree(const std::string& folder) {
  const std::wstring wide = Utf8ToWide(folder);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) ThrowFileError("Cannot delete folder", folder, GetLastError());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) ThrowFileError("Cannot delete folder", folder, ERROR_DIRECTORY);
  if (IsRealFolder(attributes)) DeleteContents(wide);
  SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(wide.c_str());  // stays when something below could not be deleted
}

bool DeleteEmptyFolder(const std::string& folder) { return RemoveDirectoryW(Utf8ToWide(folder).c_str()) != 0; }
