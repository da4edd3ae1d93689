#pragma once
// Replaces a file whole and crash-safely: the new content goes to a temporary file beside
// the target, which is synced and then renamed over it, so a reader or a crash sees
// either the old file or the complete new one, never a half-written one. A target that
// is a symbolic link is replaced where it points (the link stays), refused, or itself
// replaced by the new file, as the caller asks. The target's permissions carry over
// (without set-id bits), except where the target is replaced by a new file (Replace); a
// new file gets a new file's mode (0666 less the umask).
//
// The temporary is named (hidden, ".name.XXXXXX") or unnamed: an unnamed one has no
// name in the folder until Commit, so that nothing is left behind when the process dies
// while writing; where the file system cannot make one, a named one stands in.
//
// The target's folder is opened once, when the object is made, and the temporary, its
// name, the rename and the folder's sync all act on that open folder: a folder renamed,
// or a link put in its path, meanwhile takes the file nowhere else. A caller that must
// choose the folder itself (beneath some root) hands it over open.
//
// Ownership: the object owns the open folder and the temporary file and removes the
// temporary unless Commit() put it in place; any failure removes it at once. Threads: one
// thread at a time; the object may move to another thread (to commit there). Two
// replacements of one target race like any two writers (the last rename wins).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <boost/filesystem/path.hpp>

#include "storage/FileDescriptor.h"

namespace Zelkor {

class FileReplacement {
public:
    enum class Links {
        Follow,  // a link is replaced where it points
        Refuse,  // a link is left alone and the replacement fails; the rename itself
                 // never writes through a link that appears meanwhile
        Replace,  // whatever stands at the target, a link included, is replaced by a new
                  // file with a new file's mode; what a link pointed to is untouched
    };
    enum class Temporary {
        Named,    // a hidden file beside the target
        Unnamed,  // no name until Commit (a named one where the file system has none)
    };

    explicit FileReplacement(const boost::filesystem::path& target, Links links = Links::Follow,
                             Temporary temporary = Temporary::Named);
    // The file `name` in the open `folder`, replaced as Links::Replace says; `target` is
    // how texts name it (Target()). A folder that is not open fails as a bad descriptor.
    FileReplacement(FileDescriptor folder, std::string name, boost::filesystem::path target,
                    Temporary temporary = Temporary::Unnamed);
    ~FileReplacement();
    FileReplacement(FileReplacement&& other) noexcept;
    FileReplacement& operator=(FileReplacement&& other) noexcept;
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Whether the temporary file is there to be written; when not, Error() says why.
    bool IsOpen() const { return _file.IsOpen(); }
    // Appends to the new content; false (the temporary then removed, nothing more
    // written) on a failure.
    bool Write(std::string_view data);
    bool Write(const char* data, std::size_t size) { return Write(std::string_view(data, size)); }
    // Bytes appended so far.
    std::uint64_t BytesWritten() const { return _written; }
    // Syncs the new content and renames it over the target, then syncs the folder. False
    // when anything failed: the target then unchanged and no temporary left.
    bool Commit();

    // The file that is replaced (links resolved when they are followed), as texts name it.
    const boost::filesystem::path& Target() const { return _target; }
    // The system's text for the first failure.
    const std::string& Error() const { return _error; }

    // Writes `content` as the whole new file in one go; false with `error` set on failure.
    static bool Replace(const boost::filesystem::path& target, std::string_view content,
                        std::string& error, Links links = Links::Follow);

private:
    // Refuses what may not be replaced, then makes the temporary.
    void begin(Links links, Temporary temporary);
    bool openUnnamed();
    bool openNamed();
    bool commitUnnamed();
    // The hidden name pattern beside the target, without the six characters that make it
    // unique.
    std::string hiddenPrefix() const { return "." + _name + "."; }
    void syncFolder() const;
    bool fail();
    bool fail(int error);
    // Closes the temporary and removes it when it has a name.
    void discard();

    boost::filesystem::path _target;
    FileDescriptor _folder;
    std::string _name;      // the target's name in _folder
    std::string _tempName;  // the temporary's in _folder; empty while it has none
    std::string _error;
    FileDescriptor _file;
    std::uint64_t _written = 0;
    bool _failed = false;
};

}  // namespace Zelkor
