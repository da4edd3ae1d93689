#pragma once
// One open file descriptor, closed when its owner goes: a file, or a folder that later
// opens, links and renames are made relative to, so that they all act on the folder that
// was opened even when its path changes meanwhile.
//
// Ownership: owns the descriptor it was given (or none, -1); moves, never copies.
// Threads: one thread at a time; it may move to another thread.

namespace Zelkor {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor) : _descriptor(descriptor < 0 ? -1 : descriptor) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    bool IsOpen() const { return _descriptor >= 0; }
    // The descriptor, still owned here; -1 when none.
    int Get() const { return _descriptor; }
    // Closes it now; the close's own result (0, or -1 with errno), 0 when none was open.
    int Close();

private:
    int _descriptor = -1;
};

}  // namespace Zelkor
