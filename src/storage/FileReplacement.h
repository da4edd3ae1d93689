#pragma once
// Replaces a file whole and crash-safely: the new content goes to a temporary file beside
// the target, which is synced and then renamed over it, so a reader or a crash sees
// either the old file or the complete new one, never a half-written one. A target that
// is a symbolic link is either replaced where it points (the link stays) or refused, as
// the caller asks; the target's permissions carry over, a new file gets rw-r--r--.
//
// Ownership: the object owns the temporary file and removes it unless Commit() put it in
// place. Threads: one object per thread; two replacements of one target race like any
// two writers (the last rename wins).

#include <string>
#include <string_view>

#include <boost/filesystem/path.hpp>

namespace Zelkor {

class FileReplacement {
public:
    enum class Links {
        Follow,  // a link is replaced where it points
        Refuse,  // a link is left alone and the replacement fails; the rename itself
                 // never writes through a link that appears meanwhile
    };

    explicit FileReplacement(const boost::filesystem::path& target, Links links = Links::Follow);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Whether the temporary file could be made; when not, Error() says why.
    bool IsOpen() const { return _fd >= 0; }
    // Appends to the new content; false (and nothing more is written) on a failure.
    bool Write(std::string_view data);
    // Syncs the new content and renames it over the target. False when anything failed,
    // the target then unchanged.
    bool Commit();

    // The file that is replaced (links resolved when they are followed).
    const boost::filesystem::path& Target() const { return _target; }
    // The system's text for the last failure.
    const std::string& Error() const { return _error; }

    // Writes `content` as the whole new file in one go; false with `error` set on failure.
    static bool Replace(const boost::filesystem::path& target, std::string_view content,
                        std::string& error, Links links = Links::Follow);

private:
    bool fail();
    bool fail(int error);
    void closeFd();

    boost::filesystem::path _target;
    std::string _tempPath;
    std::string _error;
    int _fd = -1;
    bool _failed = false;
};

}  // namespace Zelkor
