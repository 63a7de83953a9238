#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "AEDirectory.h"
#include "AEPosixPrivate.h"

namespace {

class TScopedDir {
 public:
  explicit TScopedDir(DIR* d) : FDir(d) {}
  TScopedDir(const TScopedDir&) = delete;
  TScopedDir& operator=(const TScopedDir&) = delete;
  ~TScopedDir() {
    if (FDir != nullptr) ::closedir(FDir);  // read only: nothing a close error could lose
  }
  DIR* Get() const { return FDir; }

 private:
  DIR* FDir;
};

struct TEntry {
  std::string Name;
  bool IsFolder;  // a real folder, not a link to one
  bool IsFile;    // a regular file, not a link to one
};

bool IsDotName(const char* n) { return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')); }

// Entries of an open folder; d_type when the file system gives it, lstat otherwise.
// Reading stops at an error, which goes to *readError (0 when the whole folder was read).
std::vector<TEntry> ReadEntries(DIR* dir, int* readError) {
  std::vector<TEntry> entries;
  const int dfd = ::dirfd(dir);
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(dir);
    if (e == nullptr) {
      *readError = errno;
      break;
    }
    if (IsDotName(e->d_name)) continue;
    bool folder = e->d_type == DT_DIR;
    bool file = e->d_type == DT_REG;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st {};
      const bool known = ::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
      folder = known && S_ISDIR(st.st_mode);
      file = known && S_ISREG(st.st_mode);
    }
    entries.push_back({e->d_name, folder, file});
  }
  return entries;
}

DIR* OpenFolderAt(int parentFd, const char* name) {
  const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) ::close(fd);
  return d;
}

// Deletes what is inside the open folder, deepest first. Relative to folder
// descriptors, so depth is not limited by the path length and a link met on the way is
// removed, never followed.
void DeleteContents(DIR* dir) {
  const int dfd = ::dirfd(dir);
  int readError = 0;  // what could not be read is not deleted; nothing more to do about it
  for (const TEntry& e : ReadEntries(dir, &readError)) {
    if (e.IsFolder) {
      // Owner rights first, so that a folder without them can still be emptied.
      struct stat st {};
      if (::fstatat(dfd, e.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && (st.st_mode & S_IRWXU) != S_IRWXU)
        ::fchmodat(dfd, e.Name.c_str(), (st.st_mode & 07777) | S_IRWXU, 0);
      TScopedDir sub(OpenFolderAt(dfd, e.Name.c_str()));
      if (sub.Get() != nullptr) DeleteContents(sub.Get());
      ::unlinkat(dfd, e.Name.c_str(), AT_REMOVEDIR);  // fails, and stays, when something is left in it
    } else {
      // A read-only file needs no attribute change here: removal is a right of its folder.
      ::unlinkat(dfd, e.Name.c_str(), 0);
    }
  }
}

// Names of the entries of folder that are of the kind (a TEntry flag) and match mask.
std::vector<std::string> ListEntries(const std::string& folder, std::string_view mask, bool TEntry::*kind) {
  TScopedDir dir(::opendir(folder.c_str()));
  if (dir.Get() == nullptr) ThrowFileError("Cannot list folder", folder, errno);
  std::vector<std::string> names;
  int readError = 0;
  for (TEntry& e : ReadEntries(dir.Get(), &readError))
    if (e.*kind && MatchesMask(e.Name, mask)) names.push_back(std::move(e.Name));
  if (readError != 0) ThrowFileError("Cannot list folder", folder, readError);
  return names;
}

}  // namespace

std::vector<std::string> ListFolders(const std::string& folder, std::string_view mask) {
  return ListEntries(folder, mask, &TEntry::IsFolder);
}

std::vector<std::string> ListFiles(const std::string& folder, std::string_view mask) {
  return ListEntries(folder, mask, &TEntry::IsFile);
}

bool IsFolderEmpty(const std::string& folder) {
  TScopedDir dir(::opendir(folder.c_str()));
  if (dir.Get() == nullptr) ThrowFileError("Cannot read folder", folder, errno);
  errno = 0;
  while (const dirent* e = ::readdir(dir.Get()))
    if (!IsDotName(e->d_name)) return false;
  if (errno != 0) ThrowFileError("Cannot read folder", folder, errno);
  return true;
}

void DeleteFolderTree(const std::string& folder) {
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) ThrowFileError("Cannot delete folder", folder, errno);
  if (!S_ISDIR(st.st_mode)) ThrowFileError("Cannot delete folder", folder, ENOTDIR);
  if ((st.st_mode & S_IRWXU) != S_IRWXU) ::chmod(folder.c_str(), (st.st_mode & 07777) | S_IRWXU);
  {
    TScopedDir dir(OpenFolderAt(AT_FDCWD, folder.c_str()));
    if (dir.Get() != nullptr) DeleteContents(dir.Get());
  }
  ::rmdir(folder.c_str());  // stays when something below could not be deleted
}

bool DeleteEmptyFolder(const std::string& folder) { return ::rmdir(folder.c_str()) == 0; }
