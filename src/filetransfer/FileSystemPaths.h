#pragma once
// Which paths a peer may name in a file-system request, and the one form in which two
// paths are compared. A path is taken as given (absolute, or relative to the process's
// working folder); what the node refuses is a path that climbs by ".." unless parent
// paths are allowed, one with a NUL byte, and, for a folder's removal, the root folder
// however it is written: removing it would take all the process may write.
//
// Threads: free functions without state (NormalPath reads the working folder).

#include <string>
#include <string_view>

namespace Zelkor {

// The absolute form of `path` (relative to the working folder) with "." and empty
// elements dropped and ".." taking away the element before it (never above the root):
// "/" for the root. Lexical: links are not followed. Empty when the working folder is
// needed and cannot be read.
std::string NormalPath(std::string_view path);

// What PeerPathAllowed allows; with `folderRemoval` also never a path whose normal form
// is the root folder ("/", "//", "/.", "/..", "a/.." in the root ...) or leads to it
// through links. A folder is removed by its normal form, so that its last element is
// looked at as itself: "link/" and "link/." name the link, never the folder behind it.
bool FileSystemPathAllowed(std::string_view path, bool parentPathsAllowed, bool folderRemoval);

}  // namespace Zelkor
