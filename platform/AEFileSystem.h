// File-system and process services of the platform. Paths are UTF-8 text; the Windows
// backend converts them to UTF-16. Errors raise EAEFileError naming the step and path.
// All functions are thread-safe.
#pragma once

#include <string>
#include <string_view>

// Full path of the running executable.
std::string ExecutablePath();

// The executable's path with its extension replaced (".ini", ".log").
std::string ExecutablePathWithExtension(std::string_view ext);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Reads the whole file into out. Returns false when the file does not exist; any other
// failure (no permission, a folder of that name) raises.
bool TryReadWholeFile(const std::string& path, std::string& out);

// Adds the whole file's bytes after what out holds, read straight into out, so that a
// caller can put its own header in front without a copy. Returns false, with out as
// before, when there is no file at path (nothing there, or a folder); raises on any
// other failure, out as before.
bool TryAppendFile(const std::string& path, std::string& out);

// Creates or replaces the file with exactly these bytes; raises on failure.
void WriteWholeFile(const std::string& path, std::string_view bytes);

// Creates the folder and every missing parent; raises when one cannot be created.
void ForceDirectories(const std::string& path);

// Folder part of a path, with its trailing delimiter ("" when there is none).
std::string ExtractFilePath(const std::string& path);
