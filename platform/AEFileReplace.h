// Writing a file that readers may look for at any moment (hit files): a reader sees the
// old file, no file or the whole new one, never a part.
#pragma once

#include <string>
#include <string_view>

// Creates or replaces the file at path with head followed by body (two writes). On
// failure it raises EAEFileError and leaves no partly written file at path (an older
// file of that name may be gone). POSIX: written under path + ".tmp" in the same folder,
// then renamed into place. Windows: opened without sharing, so no reader can open it
// meanwhile, and deleted again after a failed write.
void ReplaceFileContents(const std::string& path, std::string_view head, std::string_view body);
