// A file that the test process itself cannot delete while this object lives: on Linux
// it carries the immutable flag (which stops root too), on Windows it is held open
// without delete sharing. The flag is cleared, or the handle closed, on destruction.
#pragma once

#include <cstdint>
#include <string>

class TAEUndeletableFile {
 public:
  // Creates the file with a few bytes; raises std::runtime_error when it cannot be made
  // undeletable.
  explicit TAEUndeletableFile(const std::string& path);
  ~TAEUndeletableFile();
  TAEUndeletableFile(const TAEUndeletableFile&) = delete;
  TAEUndeletableFile& operator=(const TAEUndeletableFile&) = delete;

 private:
  std::string FPath;
  std::intptr_t FHandle;
};
