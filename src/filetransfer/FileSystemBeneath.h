#pragma once
// The file-system words' disk work beneath a storage root, for a node that confines them
// there: a peer's path is taken below the root whatever it looks like ("/" and "" name the
// root itself), and neither ".." nor a link leads out of it. A link whose target lies
// beneath the root is followed, as a transfer's path follows it (TransferPath); a folder's
// removal follows none, inside the tree it removes either. The folder a name is looked up
// in is opened first and the name acted on there, so that a link put on the way meanwhile
// takes nothing elsewhere.
//
// Each returns 0 or an errno value, EXDEV for a path that would leave the root.
// Threads: free functions without state; they block on the disk, so a node runs them off
// its event loop.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "filetransfer/DirectoryListing.h"

namespace Zelkor {

// The path of `path` below the root: "" for the root itself, else its elements joined by
// "/", without empty and "." ones.
std::string PathBelowRoot(const std::string& path);

// Removes the file, or a link itself: EISDIR for a folder (the root too), ENOENT when
// there is none.
int RemoveFileBeneath(const std::string& root, const std::string& path);

// Makes the folder and the folders missing on the way: EEXIST when nothing was made.
int MakeFoldersBeneath(const std::string& root, const std::string& path);

// Removes the folder and everything in it: ENOTDIR when the path names no folder (a link
// to one included), EBUSY for the root itself or a path ending in "..".
int RemoveFolderBeneath(const std::string& root, const std::string& path);

// The free bytes (not the amount left to unprivileged users) of the file system that
// holds the path.
int FreeSpaceBeneath(const std::string& root, const std::string& path, std::uint64_t& free);

// ListPath's listing of a folder below the root (LeavesRoot for a path that would leave
// it). An entry that is a link leading out of the root is skipped as unreadable (EXDEV);
// its name is told to `skipped` as root + "/" + its path.
ListingResult ListBeneath(const std::string& root, const std::string& path, std::vector<ListFilesItem>& items,
                          std::size_t most, const std::function<void(const std::string& path, int error)>& skipped);

}  // namespace Zelkor
