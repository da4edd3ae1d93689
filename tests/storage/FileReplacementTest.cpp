// Replacing a file whole: the old content stays until Commit and nothing but the target
// is ever left in its folder (hidden names included), whatever way the replacement ends;
// a link in the target's place is replaced rather than followed; a new file gets the
// mode the umask gives; a full disk fails with the system's text and loses nothing.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "StorageTestSupport.h"
#include "storage/FileReplacement.h"
#include "support/TempDir.h"

namespace Zelkor {
// Names the parameter in test lists.
inline void PrintTo(FileReplacement::Temporary temporary, std::ostream* out) {
    *out << (temporary == FileReplacement::Temporary::Unnamed ? "Unnamed" : "Named");
}
}  // namespace Zelkor

using Zelkor::FileReplacement;
using Links = Zelkor::FileReplacement::Links;
using Temporary = Zelkor::FileReplacement::Temporary;
using ZelkorTest::FilesBelow;
using ZelkorTest::ReadFile;
using ZelkorTest::WriteFile;

namespace {

using Names = std::vector<std::string>;

mode_t modeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : _previous(umask(mask)) {}
    ~ScopedUmask() { umask(_previous); }

private:
    mode_t _previous;
};

// Every case runs with both kinds of temporary: an unnamed one, and the named one that
// stands in for it where the file system has none.
class FileReplacementTest : public ::testing::TestWithParam<Temporary> {
protected:
    FileReplacement make(const std::string& target) { return FileReplacement(target, Links::Replace, GetParam()); }
    bool unnamed() const { return GetParam() == Temporary::Unnamed; }

    ZelkorTest::TempDir dir;
    const std::string target = dir.File("file.bin");
};

}  // namespace

// The swap is atomic: a reader sees the old file until Commit, then the new one; the
// object can be moved to another thread and committed there.
TEST_P(FileReplacementTest, ReplacesAnExistingFileOnlyAtCommit) {
    WriteFile(target, "old content");
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    const ScopedUmask mask(022);
    FileReplacement file = make(target);
    ASSERT_TRUE(file.IsOpen()) << file.Error();
    const std::string part(1000, 'x');
    ASSERT_TRUE(file.Write(part));
    ASSERT_TRUE(file.Write("tail", 4));
    EXPECT_EQ(file.BytesWritten(), 1004u);
    EXPECT_EQ(ReadFile(target), "old content");
    EXPECT_EQ(FilesBelow(dir.Path()).size(), unnamed() ? 1u : 2u);

    bool committed = false;
    std::thread([&committed, moved = std::move(file)]() mutable { committed = moved.Commit(); }).join();
    EXPECT_TRUE(committed);
    EXPECT_EQ(ReadFile(target), part + "tail");
    // What replaces the old file is a new file, with a new file's mode.
    EXPECT_EQ(modeOf(target), 0644u);
    EXPECT_EQ(FilesBelow(dir.Path()), Names{"file.bin"});
}

// A file this node saves for itself keeps the permissions its owner gave it.
TEST_P(FileReplacementTest, AFollowedTargetKeepsItsPermissions) {
    WriteFile(target, "old");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    FileReplacement file(target, Links::Follow, GetParam());
    ASSERT_TRUE(file.Write("new"));
    ASSERT_TRUE(file.Commit()) << file.Error();
    EXPECT_EQ(ReadFile(target), "new");
    EXPECT_EQ(modeOf(target), 0640u);
}

TEST_P(FileReplacementTest, ALinkInTheTargetsPlaceIsReplacedNotFollowed) {
    const std::string outside = dir.File("outside.txt");
    WriteFile(outside, "keep me");
    ASSERT_EQ(chmod(outside.c_str(), 0600), 0);
    std::filesystem::create_symlink(outside, target);
    const ScopedUmask mask(022);
    FileReplacement file = make(target);
    ASSERT_TRUE(file.Write("new"));
    ASSERT_TRUE(file.Commit()) << file.Error();
    EXPECT_FALSE(std::filesystem::is_symlink(target));
    EXPECT_EQ(ReadFile(target), "new");
    EXPECT_EQ(modeOf(target), 0644u);  // a new file's, not the link target's
    EXPECT_EQ(ReadFile(outside), "keep me");
    EXPECT_EQ(FilesBelow(dir.Path()), (Names{"file.bin", "outside.txt"}));
}

// The folder is the one opened when the replacement began: renamed meanwhile, with a
// link in its old place, it still gets the file, and the link's target gets nothing.
TEST_P(FileReplacementTest, TheFileGoesToTheFolderOpenedAtTheStart) {
    const auto sub = dir.Path() / "sub";
    std::filesystem::create_directory(sub);
    std::filesystem::create_directory(dir.Path() / "elsewhere");
    FileReplacement file = make((sub / "file").string());
    ASSERT_TRUE(file.Write("new"));
    std::filesystem::rename(sub, dir.Path() / "moved");
    std::filesystem::create_directory_symlink("elsewhere", sub);
    ASSERT_TRUE(file.Commit()) << file.Error();
    EXPECT_EQ(ReadFile(dir.File("moved/file")), "new");
    EXPECT_EQ(FilesBelow(dir.Path() / "elsewhere"), Names{});
}

TEST_P(FileReplacementTest, ANewFilesModeFollowsTheUmask) {
    for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{0}, mode_t{077}}) {
        std::filesystem::remove(target);
        const ScopedUmask scoped(mask);
        FileReplacement file = make(target);
        ASSERT_TRUE(file.Write("x") && file.Commit()) << file.Error();
        EXPECT_EQ(modeOf(target), 0666u & ~mask) << std::oct << mask;
    }
}

// Any ending but a Commit leaves the folder as it was, hidden names included.
TEST_P(FileReplacementTest, EndingsWithoutCommitLeaveNothing) {
    {
        FileReplacement file = make(target);
        ASSERT_TRUE(file.Write("never seen"));
    }
    EXPECT_TRUE(FilesBelow(dir.Path()).empty());

    WriteFile(target, "old");
    {
        FileReplacement file = make(target);
        ASSERT_TRUE(file.Write("never seen"));
        FileReplacement other = std::move(file);  // the moved-from one owns nothing
    }
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(FilesBelow(dir.Path()), Names{"file.bin"});

    // A folder that takes the target's place before Commit: the rename fails, and the
    // temporary goes at once, not with the object.
    const std::string later = dir.File("later");
    FileReplacement file = make(later);
    ASSERT_TRUE(file.Write("content"));
    std::filesystem::create_directory(later);
    EXPECT_FALSE(file.Commit());
    EXPECT_EQ(file.Error(), "Is a directory");
    EXPECT_FALSE(file.Write("more"));
    EXPECT_EQ(FilesBelow(dir.Path()), (Names{"file.bin", "later"}));

    // A folder there from the start is refused before anything is written.
    FileReplacement refused = make(later);
    EXPECT_FALSE(refused.IsOpen());
    EXPECT_EQ(refused.Error(), "Is a directory");
    FileReplacement noFolder = make(dir.File("absent/file"));
    EXPECT_FALSE(noFolder.IsOpen());
    EXPECT_EQ(noFolder.Error(), "No such file or directory");
    EXPECT_EQ(FilesBelow(dir.Path()), (Names{"file.bin", "later"}));
}

INSTANTIATE_TEST_SUITE_P(Temporaries, FileReplacementTest, ::testing::Values(Temporary::Unnamed, Temporary::Named),
                         ::testing::PrintToStringParamName());

namespace {

// A 1 MiB file system of its own (root only).
class FullDiskTest : public ::testing::TestWithParam<Temporary> {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "mounting a small file system needs root";
        }
        if (mount("tmpfs", dir.Path().c_str(), "tmpfs", 0, "size=1m") != 0) {
            GTEST_SKIP() << "tmpfs not mountable here";
        }
        _mounted = true;
    }
    void TearDown() override {
        if (_mounted) {
            EXPECT_EQ(umount(dir.Path().c_str()), 0);
        }
    }

    ZelkorTest::TempDir dir;
    const std::string target = dir.File("old.bin");

private:
    bool _mounted = false;
};

}  // namespace

TEST_P(FullDiskTest, AFullDiskFailsWithTheSystemsTextAndLosesNothing) {
    const std::string old(100000, 'o');
    WriteFile(target, old);
    {
        FileReplacement file(target, Links::Replace, GetParam());
        ASSERT_TRUE(file.IsOpen()) << file.Error();
        const std::string block(65536, 'n');
        bool written = true;
        for (int i = 0; i < 64 && written; ++i) {
            written = file.Write(block);
        }
        EXPECT_FALSE(written && file.Commit());
        EXPECT_EQ(file.Error(), "No space left on device");
        EXPECT_LT(file.BytesWritten(), 1u << 20);
        // Already gone, before the object is.
        EXPECT_EQ(FilesBelow(dir.Path()), Names{"old.bin"});
    }
    EXPECT_EQ(ReadFile(target), old);
    EXPECT_EQ(FilesBelow(dir.Path()), Names{"old.bin"});

    FileReplacement small(target, Links::Replace, GetParam());
    ASSERT_TRUE(small.Write("small") && small.Commit()) << small.Error();
    EXPECT_EQ(ReadFile(target), "small");
    EXPECT_EQ(FilesBelow(dir.Path()), Names{"old.bin"});
}

INSTANTIATE_TEST_SUITE_P(Temporaries, FullDiskTest, ::testing::Values(Temporary::Unnamed, Temporary::Named),
                         ::testing::PrintToStringParamName());
