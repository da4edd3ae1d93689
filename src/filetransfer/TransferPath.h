#pragma once
// The file a peer names for a transfer (the "path" of its "putfile" or "getfile"), taken
// below the storage root, an absolute path too. Confined (a node that allows no parent
// paths, or keeps its peers' paths beneath the root) the path stays beneath the root:
// neither ".." nor a link, in a folder on the way or in the last place, leads out of it; a
// ".." that never climbs above the root as written, and a link that stays beneath the
// root's real path, are followed, an absolute link too.
// The kernel's walk beneath a folder takes ".." and relative links itself (where it cannot,
// the folders are walked one at a time); a path it will not take is opened as the host
// resolves it and kept only when what was opened lies beneath the root. Not confined, or
// without a storage root, the path is the host's: root + "/" + path, or the path as given.
//
// What is found is handed over open and used from there on (the folder a received file
// is made in and installed into, the file a get reads), so that a link put in the path
// afterwards takes neither elsewhere.
//
// Ownership: the caller owns every descriptor returned. Threads: an object is not
// changed after it is made; any thread may use it.

#include <string>

#include "storage/FileDescriptor.h"

namespace Zelkor {

class TransferPath {
public:
    enum class Walk {
        Kernel,    // in one call where the kernel can, else as Stepwise
        Stepwise,  // one folder at a time, links refused
    };

    struct Opened {
        FileDescriptor descriptor;
        // errno's value when nothing was opened: EXDEV for a path that would leave the
        // root.
        int error = 0;
    };

    // `root`: the storage root, "" for none. `path`: as the peer gave it. `confined`: the
    // path must stay beneath the root.
    TransferPath(const std::string& root, const std::string& path, bool confined, Walk walk = Walk::Kernel);

    // root + "/" + path, or the path itself without a root: how logs and records name it.
    const std::string& Text() const { return _text; }
    // The last element: the name in the folder OpenFolder opens; "" or "." when the path
    // names a folder itself.
    const std::string& Name() const { return _name; }

    // The folder that holds the named file, for lookups only (O_PATH).
    Opened OpenFolder() const;
    // The named file itself, opened with `flags` (no O_CREAT).
    Opened Open(int flags) const;

private:
    Opened openBase() const;
    // `path` (the folder, or with `named` the whole path) opened beneath the root by the
    // walk chosen; EXDEV when that walk would leave it or not follow a link.
    Opened beneath(int root, const std::string& path, int flags, bool named) const;
    // `path` opened as the host resolves it, kept when it lies beneath the root's real path.
    Opened throughLinks(int root, const std::string& path, int flags) const;

    std::string _text;
    std::string _root;
    std::string _relative;  // to the root, or to the working folder without one
    std::string _folder;    // _relative's folder part ("." when it has none)
    std::string _name;
    bool _confined;
    Walk _walk;
};

}  // namespace Zelkor
