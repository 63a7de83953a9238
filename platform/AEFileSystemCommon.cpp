#include "AEFileSystem.h"

#include "AEProtocol.h"

std::string ExecutablePathWithExtension(std::string_view ext) {
  std::string path = ExecutablePath();
  const std::size_t slash = path.find_last_of("\\/");
  const std::size_t dot = path.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) path.resize(dot);
  return path + std::string(ext);
}

std::string ExtractFilePath(const std::string& path) {
  const std::size_t slash = path.find_last_of(PathDelimiter() == '\\' ? "\\/:" : "/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
