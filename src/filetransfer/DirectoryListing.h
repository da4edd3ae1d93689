#pragma once
// The one walk behind every folder listing of a node: a device's "listfiles" answer and
// the application's file-system object. It reports what it found; each caller turns that
// into its own texts and log lines.
//
// Only regular files are digested, so a listing of a folder holding devices or pipes
// never blocks on one nor reads without end.
//
// Threads: free functions without state; they block on the disk, so a node runs them
// off its event loop.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "filetransfer/ListFilesItem.h"

namespace Zelkor {

// `stat` of the path (links followed): name, size, status-change and modification times,
// and for anything not a folder the MD5 when it can be computed. False with the errno
// value in `error` when the status cannot be read.
bool ReadFileAttributes(const std::string& path, ListFilesItem& item, int& error);

enum class ListingResult {
    Listed,    // items hold the folder's entries, or the file's own
    NotFound,  // no status for the path
    IsFile,    // a file where a folder was asked for
    IsFolder,  // a folder where a file was asked for
    FileUnreadable,  // the file's own attributes could not be read
    Failed,    // the folder could not be walked
    TooMany,   // more than `most` entries; items emptied
    LeavesRoot,  // beneath a storage root only: the path would leave it
};

// Lists the direct entries of a folder in the order the system yields them, or with
// `filesOnly` a file's own entry. Entries whose attributes cannot be read are skipped,
// each told to `skipped` (its path and errno) when given. `items` is cleared first.
ListingResult ListPath(const std::string& path, bool filesOnly, std::vector<ListFilesItem>& items, std::size_t most,
                       const std::function<void(const std::string& path, int error)>& skipped = {});

}  // namespace Zelkor
