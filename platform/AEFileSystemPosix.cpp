#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <cstring>
#include <vector>

#include "AEFileSystem.h"
#include "AEPosixPrivate.h"

std::string ExecutablePath() {
  std::vector<char> buf(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) ThrowFileError("Cannot resolve", "/proc/self/exe", errno);
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// Reads fd to its end into out after what it holds. The size is a guess only (the file
// may change meanwhile); the spare byte lets the read that meets the end find room
// without growing out, and tells, for a regular file, that the end has been met: such
// a file reads short only at its end, so it needs no further read that returns 0.
void AppendToEnd(int fd, const struct stat& st, const std::string& path, std::string& out) {
  const std::size_t start = out.size();
  std::size_t used = start;
  out.resize(start + static_cast<std::size_t>(st.st_size) + 1);
  for (;;) {
    if (used == out.size()) out.resize(out.size() + out.size() / 2 + 65536);
    const std::size_t asked = out.size() - used;
    const ssize_t n = ::read(fd, out.data() + used, asked);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      out.resize(start);
      ThrowFileError("Cannot read file", path, err);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
    if (S_ISREG(st.st_mode) && static_cast<std::size_t>(n) < asked) break;
  }
  out.resize(used);
}

}  // namespace

bool TryReadWholeFile(const std::string& path, std::string& out) {
  TScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) {
    if (errno == ENOENT) return false;
    ThrowFileError("Cannot open file", path, errno);
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) ThrowFileError("Cannot read file", path, errno);
  if (S_ISDIR(st.st_mode)) ThrowFileError("Cannot read file", path, EISDIR);
  out.clear();
  AppendToEnd(fd.Get(), st, path, out);
  return true;
}

bool TryAppendFile(const std::string& path, std::string& out) {
  TScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    ThrowFileError("Cannot open file", path, errno);
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) ThrowFileError("Cannot read file", path, errno);
  if (!S_ISREG(st.st_mode)) return false;
  AppendToEnd(fd.Get(), st, path, out);
  return true;
}

void WriteWholeFile(const std::string& path, std::string_view bytes) {
  TScopedFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.Get() < 0) ThrowFileError("Cannot create file", path, errno);
  if (const int err = WriteAll(fd.Get(), bytes); err != 0) ThrowFileError("Cannot write file", path, err);
  if (::close(fd.Release()) != 0) ThrowFileError("Cannot write file", path, errno);
}

void ForceDirectories(const std::string& path) {
  if (path.empty() || DirectoryExists(path)) return;
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.find_last_of('/');
  if (slash != std::string::npos && slash > 0) ForceDirectories(trimmed.substr(0, slash));
  if (::mkdir(trimmed.c_str(), 0755) != 0 && errno != EEXIST)
    ThrowFileError("Unable to create directory", trimmed, errno);
}
