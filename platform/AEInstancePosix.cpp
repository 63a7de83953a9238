#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "AEInstance.h"

TAEInstanceLock AcquireInstanceLock(const std::string& name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
  if (folder.back() != '/') folder.push_back('/');
  const std::string path = folder + name + ".lock";
  // The descriptor is never closed: the lock lives exactly as long as the process.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return TAEInstanceLock::Unavailable;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return TAEInstanceLock::Acquired;
  const int err = errno;
  ::close(fd);
  return err == EWOULDBLOCK ? TAEInstanceLock::HeldElsewhere : TAEInstanceLock::Unavailable;
}
