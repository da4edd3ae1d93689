// Where a transfer's path leads. Confined, it stays beneath the storage root, whichever
// way it is walked: a ".." or a link out of the root is refused (EXDEV),
// in a folder on the way or in the last place, also one whose target only shares the
// root's name as a prefix or that loops; a link whose target lies within the root is
// followed, relative or absolute, as is a ".." that stays within it. Not confined, or
// without a root, the path is the host's.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "filetransfer/TransferPath.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

namespace fs = std::filesystem;
using Zelkor::TransferPath;
using Walk = TransferPath::Walk;

// What is open: the folder's path, a file's content, or the error's name.
std::string Seen(const TransferPath::Opened& opened, bool folder) {
    if (!opened.descriptor.IsOpen()) {
        const int error = opened.error;
        return error == EXDEV     ? "EXDEV"
               : error == ENOENT  ? "ENOENT"
               : error == ENOTDIR ? "ENOTDIR"
                                  : std::to_string(error);
    }
    if (folder) {
        return fs::read_symlink("/proc/self/fd/" + std::to_string(opened.descriptor.Get())).string();
    }
    char text[64];
    const ssize_t n = read(opened.descriptor.Get(), text, sizeof text);
    return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

class TransferPathTest : public ::testing::TestWithParam<Walk> {
protected:
    TransferPathTest() {
        fs::create_directories(root / "sub");
        fs::create_directory(outer / "out");
        WriteFile((root / "sub" / "file").string(), "inside");
        WriteFile((outer / "out" / "secret").string(), "outside");
        fs::create_directory_symlink("sub", root / "in");
        fs::create_directory_symlink("../out", root / "up");
        fs::create_directory_symlink(outer / "out", root / "abs");
        fs::create_symlink("sub/file", root / "filein");
        fs::create_symlink("../../out/secret", root / "sub" / "deep");
        fs::create_directory_symlink(root / "sub", root / "absin");
        fs::create_symlink(root / "sub" / "file", root / "absfile");
        fs::create_directory_symlink(root, root / "sub" / "top");
        fs::create_directory(outer / "rootx");
        WriteFile((outer / "rootx" / "file").string(), "twin");
        fs::create_directory_symlink(outer / "rootx", root / "twin");
        fs::create_symlink(root / "loop2", root / "loop1");
        fs::create_symlink(root / "loop1", root / "loop2");
        fs::create_symlink(outer / "out" / "secret", root / "sub" / "absout");
    }

    std::string Folder(const std::string& path, bool confined = true) const {
        return Seen(TransferPath(root.string(), path, confined, GetParam()).OpenFolder(), true);
    }
    std::string Read(const std::string& path, bool confined = true) const {
        return Seen(TransferPath(root.string(), path, confined, GetParam()).Open(O_RDONLY), false);
    }

    TempDir dir;
    const fs::path outer = fs::canonical(dir.Path());
    const fs::path root = outer / "root";
};

TEST_P(TransferPathTest, AConfinedPathNeverLeavesTheRoot) {
    const std::string sub = (root / "sub").string();
    EXPECT_EQ(Folder("new"), root.string());
    EXPECT_EQ(Folder("sub/new"), sub);
    EXPECT_EQ(Folder("//sub/./new"), sub);  // an absolute path is taken below the root
    EXPECT_EQ(Folder("up/new"), "EXDEV");
    EXPECT_EQ(Folder("abs/new"), "EXDEV");
    EXPECT_EQ(Folder("twin/new"), "EXDEV");
    EXPECT_EQ(Folder("none/new"), "ENOENT");
    EXPECT_EQ(Folder("sub/file/new"), "ENOTDIR");

    EXPECT_EQ(Read("sub/file"), "inside");
    EXPECT_EQ(Read("sub/deep"), "EXDEV");
    EXPECT_EQ(Read("sub/absout"), "EXDEV");
    EXPECT_EQ(Read("up/secret"), "EXDEV");
    EXPECT_EQ(Read("twin/file"), "EXDEV");
    EXPECT_EQ(Read("loop1"), "EXDEV");
    EXPECT_EQ(Read("sub/missing"), "ENOENT");

    // A ".." is taken while it stays beneath the root.
    EXPECT_EQ(Read("sub/../sub/file"), "inside");
    EXPECT_EQ(Folder("sub/../sub/new"), sub);
    EXPECT_EQ(Read("in/../filein"), "inside");
    EXPECT_EQ(Read("../root/sub/file"), "EXDEV");
    EXPECT_EQ(Read("sub/../../out/secret"), "EXDEV");
    EXPECT_EQ(Folder("sub/../../new"), "EXDEV");
    EXPECT_EQ(Folder("in/../../new"), "EXDEV");
}

TEST_P(TransferPathTest, ALinkWhoseTargetLiesInTheRootIsFollowed) {
    const std::string sub = (root / "sub").string();
    EXPECT_EQ(Folder("in/new"), sub);
    EXPECT_EQ(Folder("absin/new"), sub);
    EXPECT_EQ(Folder("sub/top/sub/new"), sub);
    EXPECT_EQ(Folder("absin/top/new"), root.string());
    EXPECT_EQ(Read("filein"), "inside");
    EXPECT_EQ(Read("in/file"), "inside");
    EXPECT_EQ(Read("absfile"), "inside");
    EXPECT_EQ(Read("absin/file"), "inside");
    EXPECT_EQ(Read("sub/top/absin/top/filein"), "inside");
    // Opened for lookups only, the link's target comes as such.
    const TransferPath::Opened found = TransferPath(root.string(), "absfile", true, GetParam()).Open(O_PATH);
    EXPECT_EQ(Seen(found, true), sub + "/file");
    EXPECT_EQ(fcntl(found.descriptor.Get(), F_GETFL) & O_PATH, O_PATH);
}

TEST_P(TransferPathTest, WithParentPathsOrWithoutARootThePathIsTheHosts) {
    EXPECT_EQ(Folder("up/new", false), (outer / "out").string());
    EXPECT_EQ(Read("sub/deep", false), "outside");
    EXPECT_EQ(Read("sub/../../out/secret", false), "outside");
    const TransferPath bare("", (root / "sub" / "deep").string(), true, GetParam());
    EXPECT_EQ(bare.Text(), (root / "sub" / "deep").string());
    EXPECT_EQ(Seen(bare.Open(O_RDONLY), false), "outside");
    EXPECT_EQ(TransferPath("/r", "/a/b", true).Text(), "/r//a/b");
}

INSTANTIATE_TEST_SUITE_P(Walks, TransferPathTest, ::testing::Values(Walk::Kernel, Walk::Stepwise),
                         [](const ::testing::TestParamInfo<Walk>& info) {
                             return info.param == Walk::Kernel ? "Kernel" : "Stepwise";
                         });

}  // namespace
}  // namespace ZelkorTest
