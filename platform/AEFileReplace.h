// Writing a file that readers may look for at any moment (hit files): a reader sees the
// old file, no file or the whole new one, never a part.
#pragma once

#include <string>
#include <string_view>

// Creates or replaces the file at path with head followed by body (two writes). Returns
// false, having written nothing at path, when the folder of path does not exist or was
// removed while the file was written (a caller that made it before can make it again
// and retry). On any other failure it raises EAEFileError and leaves no partly written
// file at path. The bytes
// go to path + ".tmp" in the same folder (a name that no hit-file mask "*.aeh" and no
// lookup matches), which is then renamed into place, so that even a process killed
// mid-write leaves no part under the real name. Windows: the temporary is opened
// without sharing.
[[nodiscard]] bool ReplaceFileContents(const std::string& path, std::string_view head, std::string_view body);
