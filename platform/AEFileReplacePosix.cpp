#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "AEFileReplace.h"
#include "AEPosixPrivate.h"

bool ReplaceFileContents(const std::string& path, std::string_view head, std::string_view body) {
  // No hit-file mask ("*.aeh") and no lookup by name matches the temporary name.
  const std::string temp = path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) return false;  // a missing folder, the one missing part of a create
  if (fd < 0) ThrowFileError("Cannot create file", path, errno);
  int err = WriteAll(fd, head);
  if (err == 0) err = WriteAll(fd, body);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) {
    err = errno;
    // The folder was removed while the file was written (the temporary went with it).
    if (err == ENOENT) return false;
  }
  if (err != 0) {
    ::unlink(temp.c_str());
    ThrowFileError("Cannot write file", path, err);
  }
  return true;
}
