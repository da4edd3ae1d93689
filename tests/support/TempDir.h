#pragma once
// A fresh temporary folder, removed with everything in it when the object goes away.
// ScopedChdir makes it the working folder for a while (for code that writes relative names).

#include <filesystem>
#include <string>

namespace ZelkorTest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return _path; }
    std::string File(const std::string& name) const { return (_path / name).string(); }

private:
    std::filesystem::path _path;
};

class ScopedChdir {
public:
    explicit ScopedChdir(const std::filesystem::path& to);
    ~ScopedChdir();
    ScopedChdir(const ScopedChdir&) = delete;
    ScopedChdir& operator=(const ScopedChdir&) = delete;

private:
    std::filesystem::path _previous;
};

// The whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

}  // namespace ZelkorTest
