#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "AEUndeletableFile.h"

namespace {

void SetImmutable(const std::string& path, bool on) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
  int flags = 0;
  int rc = ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
  if (rc == 0) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    rc = ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  const int err = errno;
  ::close(fd);
  if (rc != 0) throw std::runtime_error("immutable flag on " + path + ": " + std::strerror(err));
}

}  // namespace

TAEUndeletableFile::TAEUndeletableFile(const std::string& path) : FPath(path), FHandle(-1) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("create " + path + ": " + std::strerror(errno));
  [[maybe_unused]] const ssize_t n = ::write(fd, "keep", 4);
  ::close(fd);
  SetImmutable(path, true);
}

TAEUndeletableFile::~TAEUndeletableFile() {
  try {
    SetImmutable(FPath, false);
  } catch (const std::exception&) {
    // The file was deleted after all; the test has already failed on that.
  }
}
