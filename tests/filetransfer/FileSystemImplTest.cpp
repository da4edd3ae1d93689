// The application's file-system object over a temporary folder: what it refuses and with
// which text, that it keeps the bytes it is not told to drop, that a removal stays inside
// the folder it was given, and that nothing it is handed (a pipe, a dead handle) makes it
// hang or crash.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <ostream>
#include <string>
#include <vector>

#include "filetransfer/FileSystemImpl.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

namespace fs = std::filesystem;
using Zelkor::FileSystemImpl;
using Zelkor::NoFileHandle;

std::vector<unsigned char> bytes(const std::string& text) { return {text.begin(), text.end()}; }

// What an operation answered: its result and its error text, or what the case observed.
struct Outcome {
    bool ok;
    std::string text;
    bool operator==(const Outcome& other) const { return ok == other.ok && text == other.text; }
};
std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
    return out << (outcome.ok ? "true" : "false") << " \"" << outcome.text << '"';
}

// Runs `work` without root's privileges (as nobody in a child process when the tests run as
// root), so that permissions hold; its result is the child's exit status.
bool unprivileged(const std::function<bool()>& work) {
    if (::geteuid() != 0) {
        return work();
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(dropped ? (work() ? 1 : 0) : 2);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << "could not drop privileges";
    return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

// Writes through a handle from Create on a file holding "abc", then reads the file back.
Outcome createAndAppend(FileSystemImpl& files, const std::string& path, bool truncate) {
    WriteFile(path, "abc");
    std::string error;
    void* handle = files.Create(path.c_str(), error, truncate);
    if (handle == NoFileHandle()) {
        return {false, error};
    }
    const bool appended = files.Append(handle, bytes("def"));
    const bool closed = files.Close(handle);
    return {appended && closed, ReadFile(path)};
}

TEST(FileSystemImpl, AnswersEachCaseWithItsResultAndText) {
    TempDir dir;
    fs::permissions(dir.Path(), fs::perms(0755));
    const auto at = [&dir](const std::string& name) { return dir.File(name); };
    WriteFile(at("file"), "abc");
    WriteFile(at("empty"), "");
    fs::create_directories(at("tree/sub"));
    WriteFile(at("tree/sub/leaf"), "x");
    fs::create_directories(at("target"));
    WriteFile(at("target/keep"), "kept");
    fs::create_directory_symlink(at("target"), at("link"));
    fs::create_directory_symlink(at("target"), at("tree/inner-link"));
    fs::create_directories(at("locked"));
    WriteFile(at("locked/inside"), "x");
    fs::permissions(at("locked"), fs::perms(0555));
    // A folder nobody may remove but cannot walk: its removal finds no entries to remove
    // and must still fail.
    fs::create_directories(at("nest/sealed"));
    WriteFile(at("nest/sealed/inside"), "x");
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(at("nest").c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown(at("nest/sealed").c_str(), 65534, 65534), 0);
    }
    fs::permissions(at("nest/sealed"), fs::perms(0300));
    fs::create_directories(at("unreadable"));
    fs::permissions(at("unreadable"), fs::perms(0311));

    FileSystemImpl files("FSYS");
    const auto create = [&](const std::string& path) {
        std::string error;
        void* handle = files.Create(path.c_str(), error, true);
        return Outcome{handle != NoFileHandle() && files.Close(handle), error};
    };
    const auto del = [&](const std::string& path) {
        std::string error;
        const bool ok = files.Delete(path.c_str(), error);
        return Outcome{ok, error};
    };
    const auto mkdir = [&](const std::string& path) {
        std::string error;
        const bool ok = files.MKDIR(path, error);
        return Outcome{ok, ok ? (fs::is_directory(path) ? "made" : "missing") : error};
    };
    const auto rmdir = [&](const std::string& path) {
        std::string error;
        const bool ok = files.RMDIR(path, error);
        return Outcome{ok, ok ? (fs::exists(fs::symlink_status(path)) ? "still there" : "gone") : error};
    };
    const auto list = [&](const std::string& path, bool fileOnly) {
        std::vector<Zelkor::ListFilesItem> items;
        std::string error;
        const bool ok = files.GetListFiles(path.c_str(), items, error, fileOnly);
        return Outcome{ok, ok ? std::to_string(items.size()) + " items" : error};
    };
    const auto checksum = [&](const std::string& path) {
        std::string digest = "unchanged";
        const bool ok = files.GetFileChecksum(path, digest);
        return Outcome{ok, digest};
    };

    struct Case {
        const char* what;
        std::function<Outcome()> run;
        Outcome expected;
    };
    const Case cases[] = {
        {"create, parent missing", [&] { return create(at("no/such")); }, {false, "Path not found"}},
        {"create under a file", [&] { return create(at("file/new")); }, {false, "Access denied"}},
        {"create on a folder", [&] { return create(at("tree")); }, {false, "Access denied"}},
        {"create keeps the bytes", [&] { return createAndAppend(files, at("kept"), false); }, {true, "abcdef"}},
        {"create truncating", [&] { return createAndAppend(files, at("cut"), true); }, {true, "def"}},
        {"delete a folder", [&] { return del(at("tree")); }, {false, "Path is folder"}},
        {"delete a missing file", [&] { return del(at("nothing")); }, {false, "File not found"}},
        {"delete a file",
         [&] { return Outcome{del(at("cut")).ok, fs::exists(at("cut")) ? "there" : "gone"}; },
         {true, "gone"}},
        {"mkdir an existing path", [&] { return mkdir(at("tree")); }, {false, "Path already exists"}},
        {"mkdir with missing parents", [&] { return mkdir(at("a/b/c")); }, {true, "made"}},
        {"mkdir under a file", [&] { return mkdir(at("file/sub")); }, {false, "Operation failed"}},
        {"rmdir a file", [&] { return rmdir(at("file")); }, {false, "Path is file"}},
        {"rmdir a missing path", [&] { return rmdir(at("nothing")); }, {false, "Path not found"}},
        {"rmdir a link to a folder", [&] { return rmdir(at("link")); }, {true, "gone"}},
        {"rmdir a tree holding a link", [&] { return rmdir(at("tree")); }, {true, "gone"}},
        {"links removed, never followed", [&] { return Outcome{true, ReadFile(at("target/keep"))}; }, {true, "kept"}},
        {"rmdir of what stays",
         [&] {
             const bool ok = unprivileged([&] {
                 std::string error;
                 return !files.RMDIR(at("locked"), error) && error == "Operation failed";
             });
             return Outcome{ok, fs::exists(at("locked/inside")) ? "still there" : "gone"};
         },
         {true, "still there"}},
        {"rmdir of what cannot be walked",
         [&] {
             const bool ok = unprivileged([&] {
                 std::string error;
                 return !files.RMDIR(at("nest/sealed"), error) && error == "Operation failed";
             });
             return Outcome{ok, fs::exists(at("nest/sealed/inside")) ? "still there" : "gone"};
         },
         {true, "still there"}},
        {"list a file, files only", [&] { return list(at("file"), true); }, {true, "1 items"}},
        {"list a file as a folder", [&] { return list(at("file"), false); }, {false, "Path is a file"}},
        {"list a folder, files only", [&] { return list(at("target"), true); }, {false, "Path is directory"}},
        {"list a missing path", [&] { return list(at("nothing"), false); }, {false, "Path not found"}},
        {"list a folder", [&] { return list(at("target"), false); }, {true, "1 items"}},
        {"list an unreadable folder",
         [&] {
             return Outcome{unprivileged([&] { return list(at("unreadable"), false) == Outcome{false, "Access Denied"}; }),
                            ""};
         },
         {true, ""}},
        {"checksum", [&] { return checksum(at("file")); }, {true, "900150983cd24fb0d6963f7d28e17f72"}},
        {"checksum of an empty file", [&] { return checksum(at("empty")); }, {true, "d41d8cd98f00b204e9800998ecf8427e"}},
        {"checksum of a folder", [&] { return checksum(at("target")); }, {false, "unchanged"}},
        {"checksum of no path", [&] { return checksum(""); }, {false, "unchanged"}},
        {"checksum of a read error", [&] { return checksum("/proc/self/mem"); }, {false, "unchanged"}},
        {"block size 0", [&] { return Outcome{files.GetBlockSize(0) == 32768, ""}; }, {true, ""}},
        {"block size 4096", [&] { return Outcome{files.GetBlockSize(4096) == 4096, ""}; }, {true, ""}},
        {"block size 2^29", [&] { return Outcome{files.GetBlockSize(536870912) == 268435456, ""}; }, {true, ""}},
    };
    LogCapture log;
    for (const Case& c : cases) {
        EXPECT_EQ(c.run(), c.expected) << c.what;
    }
    EXPECT_TRUE(log.Contains("FSYS File Path Empty"));
    EXPECT_TRUE(log.Contains("FSYS RMDIR: Path is file"));
    EXPECT_TRUE(log.Contains("FSYS File Deletion successful (" + at("cut") + ")"));
}

// A pipe has no end to read to and opening it waits for a writer: its checksum is refused
// at once, and so is its digest in a listing.
TEST(FileSystemImpl, PipeIsNeverOpened) {
    TempDir dir;
    const std::string pipe = dir.File("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    FileSystemImpl files;
    auto answer = std::async(std::launch::async, [&] {
        std::string digest;
        std::vector<Zelkor::ListFilesItem> items;
        std::string error;
        return !files.GetFileChecksum(pipe, digest) && files.GetFileInfoList(dir.Path().string(), items) &&
               items.size() == 1 && !items[0].checksum;
    });
    if (answer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "blocked on the pipe";
        // A writer ends the wait, so that the test can end.
        const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        ::close(writer);
    }
    EXPECT_TRUE(answer.get());
}

// Handles: reads take what is there and no more; the no-file handle is refused by every
// operation that takes one.
TEST(FileSystemImpl, HandlesReadInOrderAndNoFileIsRefused) {
    TempDir dir;
    WriteFile(dir.File("six"), "abcdef");
    FileSystemImpl files("FSYS");
    void* handle = files.Open(dir.File("six").c_str());
    ASSERT_NE(handle, NoFileHandle());
    std::vector<unsigned char> out{'z'};
    EXPECT_TRUE(files.Read(handle, 4, out));
    EXPECT_EQ(out, bytes("abcd"));
    EXPECT_TRUE(files.Read(handle, 0xFFFFFFFFu, out));
    EXPECT_EQ(out, bytes("ef"));
    EXPECT_TRUE(files.Read(handle, 4, out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(files.Close(handle));
    EXPECT_EQ(files.Open(dir.File("none").c_str()), NoFileHandle());

    LogCapture log;
    EXPECT_FALSE(files.Read(NoFileHandle(), 4, out));
    EXPECT_FALSE(files.Append(NoFileHandle(), bytes("x")));
    EXPECT_FALSE(files.Close(NoFileHandle()));
    EXPECT_EQ(log.Count("FSYS Invalid File Handle"), 3u);
}

// Blocks come in order, at most a chunk each, and end with the file.
TEST(FileSystemImpl, ReadBlocksHandsOverTheFileInChunks) {
    TempDir dir;
    WriteFile(dir.File("ten"), "0123456789");
    FileSystemImpl files;
    std::vector<std::string> blocks;
    const auto collect = [&blocks](const unsigned char* data, unsigned long count) {
        blocks.emplace_back(reinterpret_cast<const char*>(data), count);
    };
    EXPECT_TRUE(files.ReadBlocks(dir.File("ten"), 4, collect, std::ios::binary));
    EXPECT_EQ(blocks, (std::vector<std::string>{"0123", "4567", "89"}));
    blocks.clear();
    EXPECT_TRUE(files.ReadBlocks(dir.File("ten"), 524288, collect, std::ios::binary));
    EXPECT_EQ(blocks, (std::vector<std::string>{"0123456789"}));
    EXPECT_GT(files.Freespace(dir.Path().c_str()), 0u);
    EXPECT_EQ(files.Freespace(dir.File("none/deeper").c_str()), 0u);
}

// A name ending in "/" or "/." would have the system look through the link; the removal
// takes the link alone. A file that calls itself regular but waits for data (the kernel's
// message log) is not digested, rather than hold its reader for ever; a date before the
// epoch is no date.
TEST(FileSystemImpl, LinksEndingInASlashFilesThatWaitAndOldDates) {
    TempDir dir;
    fs::create_directories(dir.Path() / "target");
    WriteFile(dir.File("target/keep"), "k");
    FileSystemImpl files;
    for (const std::string end : {"/", "/."}) {
        fs::create_directory_symlink(dir.Path() / "target", dir.Path() / "link");
        std::string error;
        EXPECT_TRUE(files.RMDIR(dir.File("link") + end, error)) << end << " " << error;
        EXPECT_FALSE(fs::is_symlink(fs::symlink_status(dir.Path() / "link"))) << end;
        EXPECT_TRUE(fs::exists(dir.Path() / "target" / "keep")) << end;
    }
    std::string checksum;
    auto waiting = std::async(std::launch::async, [&files, &checksum] {
        return files.GetFileChecksum("/proc/kmsg", checksum);
    });
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the read waits for data";
    EXPECT_FALSE(waiting.get());

    WriteFile(dir.File("old"), "o");
    const timespec times[2] = {{-100, 0}, {-100, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.File("old").c_str(), times, 0), 0);
    Zelkor::ListFilesItem item;
    ASSERT_TRUE(files.GetFileAttributesInfo(dir.File("old"), item));
    EXPECT_FALSE(item.modifieddate.has_value());
    EXPECT_EQ(item.checksum.value_or(""), "d95679752134a2d9eb61dbd7b91c4bcc");
}

}  // namespace
}  // namespace ZelkorTest
