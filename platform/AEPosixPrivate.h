// What the POSIX backends of this folder share: the file error, the descriptor's owner
// and the write loop. Included only by *Posix.cpp files, never by portable code.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "AEErrors.h"

// Raises EAEFileError "<step> "<path>": <system message>".
[[noreturn]] inline void ThrowFileError(const std::string& step, const std::string& path, int err) {
  throw EAEFileError(step + " \"" + path + "\": " + std::strerror(err), err);
}

// 0 or the errno of the failed write. A write that takes nothing would never finish
// and is no success either: it fails as EIO.
inline int WriteAll(int fd, std::string_view bytes) {
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

// Owns a descriptor. One whose writes matter is closed through Release and checked;
// the destructor's close has nothing left that an error could lose.
class TScopedFd {
 public:
  explicit TScopedFd(int fd = -1) : FFd(fd) {}
  TScopedFd(TScopedFd&& o) noexcept : FFd(o.Release()) {}
  TScopedFd& operator=(TScopedFd&&) = delete;
  ~TScopedFd() {
    if (FFd >= 0) ::close(FFd);
  }
  int Get() const { return FFd; }
  void Reset(int fd) {
    if (FFd >= 0) ::close(FFd);
    FFd = fd;
  }
  int Release() { return std::exchange(FFd, -1); }

 private:
  int FFd;
};
