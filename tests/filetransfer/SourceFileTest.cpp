// The file a transfer reads: its size is the one at opening, reads fill whole blocks up to
// the end, and what cannot be sent block by block (a folder, a pipe) is refused with the
// system's text instead of being read.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "filetransfer/SourceFile.h"
#include "support/TempDir.h"

using Zelkor::SourceFile;

namespace {

// The sizes of the reads it takes to read the file through, the last (0) included.
std::vector<long> readSizes(SourceFile& file, std::size_t block, std::string& content) {
    std::vector<long> sizes;
    std::string buffer(block, '\0');
    std::string error;
    long n = 0;
    do {
        n = file.Read(buffer.data(), block, error);
        EXPECT_GE(n, 0) << error;
        sizes.push_back(n);
        content.append(buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    } while (n > 0 && sizes.size() < 100);
    return sizes;
}

std::string pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    return text;
}

}  // namespace

TEST(SourceFile, ReadsWholeBlocksUpToTheEnd) {
    struct Case {
        std::size_t size;
        std::size_t block;
        std::vector<long> reads;
    };
    const std::vector<Case> cases{
        {0, 512, {0}},
        {1, 512, {1, 0}},
        {511, 512, {511, 0}},
        {512, 512, {512, 0}},
        {513, 512, {512, 1, 0}},
        {1001, 1000, {1000, 1, 0}},
        {200000, 65536, {65536, 65536, 65536, 3392, 0}},
    };
    ZelkorTest::TempDir dir;
    for (const auto& c : cases) {
        const std::string path = dir.File("f" + std::to_string(c.size));
        ZelkorTest::WriteFile(path, pattern(c.size));
        std::string error;
        const auto file = SourceFile::Open(path, error);
        ASSERT_TRUE(file) << error;
        EXPECT_EQ(file->Size(), c.size);
        std::string content;
        EXPECT_EQ(readSizes(*file, c.block, content), c.reads) << c.size << " by " << c.block;
        EXPECT_EQ(content, pattern(c.size));
    }
}

// A file that shrinks while it is sent keeps its announced size; the reads show the
// shortfall, which the sender must notice.
TEST(SourceFile, SizeIsTheOneAtOpening) {
    ZelkorTest::TempDir dir;
    const std::string path = dir.File("shrinks");
    ZelkorTest::WriteFile(path, pattern(3000));
    std::string error;
    const auto file = SourceFile::Open(path, error);
    ASSERT_TRUE(file) << error;
    ASSERT_EQ(truncate(path.c_str(), 1000), 0);
    EXPECT_EQ(file->Size(), 3000u);
    std::string content;
    EXPECT_EQ(readSizes(*file, 1024, content), (std::vector<long>{1000, 0}));
}

TEST(SourceFile, WhatCannotBeSentIsRefusedWithTheSystemsText) {
    ZelkorTest::TempDir dir;
    ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> cases{
        {dir.Path().string(), "Is a directory"},
        {dir.File("absent"), "No such file or directory"},
        {dir.File("pipe"), "Invalid argument"},  // opening must not wait for a writer
    };
    for (const auto& [path, text] : cases) {
        std::string error;
        EXPECT_FALSE(SourceFile::Open(path, error)) << path;
        EXPECT_EQ(error, text) << path;
    }
}
