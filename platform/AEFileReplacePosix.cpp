#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "AEErrors.h"
#include "AEFileReplace.h"

namespace {

[[noreturn]] void Fail(const std::string& step, const std::string& path, int err) {
  throw EAEFileError(step + " \"" + path + "\": " + std::strerror(err), err);
}

// 0 or the errno of the failed write.
int WriteAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

bool ReplaceFileContents(const std::string& path, std::string_view head, std::string_view body) {
  // No hit-file mask ("*.aeh") and no lookup by name matches the temporary name.
  const std::string temp = path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) return false;  // a missing folder, the one missing part of a create
  if (fd < 0) Fail("Cannot create file", path, errno);
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
    Fail("Cannot write file", path, err);
  }
  return true;
}
