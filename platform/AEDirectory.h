// Folder operations of the hit-file tree: listing, emptiness test and deletion. Paths
// are UTF-8 text. Links and junctions are never followed: a link is listed as nothing
// and deleted as itself. All functions are thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Whether name matches mask: '*' stands for any run of characters, '?' for exactly one;
// letters compare without regard to case (ASCII).
bool MatchesMask(std::string_view name, std::string_view mask);

// Names (not paths) of the folders directly inside folder whose names match mask, in no
// particular order; files, links, "." and ".." are not listed. Raises EAEFileError when
// folder does not exist or cannot be listed.
std::vector<std::string> ListFolders(const std::string& folder, std::string_view mask);

// Names of the files directly inside folder whose names match mask, in no particular
// order; folders and links are not listed. Raises EAEFileError when folder does not
// exist or cannot be listed.
std::vector<std::string> ListFiles(const std::string& folder, std::string_view mask);

// Whether folder holds no entry at all. Raises EAEFileError when it does not exist or
// cannot be read.
bool IsFolderEmpty(const std::string& folder);

// Deletes folder with everything below it, deepest first, each entry after its
// attributes have been reset so that read-only entries go too. What cannot be deleted
// stays, silently, and the deletion goes on with the rest; the folder itself stays when
// something is left in it. Raises EAEFileError only when folder does not exist or is no
// folder.
void DeleteFolderTree(const std::string& folder);

// Deletes folder when it is empty; false when it could not be deleted.
bool DeleteEmptyFolder(const std::string& folder);
