// Path verification: which status wins when access, flags and formats combine.
#include <gtest/gtest.h>

#include "StorageTestSupport.h"

using Zelkor::IStorage;
using ZelkorTest::StorageTest;

TEST_F(StorageTest, VerifyPathPrecedence) {
    auto model = Load(R"({
        "constLocked": {".access": "c", ".flags": ["lock"]},
        "woNsub": {".access": "wo", ".flags": ["nsub"]},
        "roLocked": {".access": "ro", ".flags": ["lock"]},
        "roNsubLocked": {".access": "ro", ".flags": ["nsub", "lock"]},
        "ro": {".access": "ro"},
        "rw": {".access": "rw"},
        "odd": {".access": "rx"},
        "numericAccess": {".access": 5},
        "listAccess": {".access": ["ro"]},
        "plainDescriptor": {".value": 1},
        "locked": {".flags": ["lock"]},
        "nsub": {".flags": ["nsub", "lock"]},
        "number": 5,
        "wordList": ["lock"],
        "emptyObject": {}
    })");
    struct Case {
        const char* path;
        IStorage::STATUS expected;
    };
    const Case cases[] = {
        {"/constLocked", IStorage::PathConstant},
        {"/woNsub", IStorage::PathWriteonly},
        {"/roLocked", IStorage::PathLocked},
        {"/roNsubLocked", IStorage::PathNoSubscribe},
        {"/ro", IStorage::PathReadonly},
        {"/rw", IStorage::PathReadWrite},
        {"/odd", IStorage::InvalidAccess},
        {"/numericAccess", IStorage::InvalidAccess},
        {"/listAccess", IStorage::InvalidAccess},
        {"/plainDescriptor", IStorage::PathReadWrite},
        {"/locked", IStorage::PathLocked},
        {"/nsub", IStorage::PathNoSubscribe},
        {"/number", IStorage::PathReadWrite},
        {"/wordList", IStorage::PathLocked},
        {"/emptyObject", IStorage::InvalidPath},
        {"/missing", IStorage::InvalidPath},
        {"/number/below", IStorage::InvalidPath},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(model->VerifyPath(c.path, "variant"), c.expected) << c.path;
    }
    EXPECT_EQ(model->VerifyPath(nullptr, "variant"), IStorage::InvalidPath);
}

TEST_F(StorageTest, VerifyPathFormats) {
    auto model = LoadSample();
    struct Case {
        const char* format;
        IStorage::STATUS expected;
    };
    const Case cases[] = {
        {nullptr, IStorage::PathReadWrite},   {"default", IStorage::PathReadWrite},
        {"Default", IStorage::PathReadWrite}, {"DEFAULT", IStorage::PathReadWrite},
        {"norm", IStorage::PathReadWrite},    {"string", IStorage::PathReadWrite},
        {"Norm", IStorage::InvalidFormat},    {"number(0,1)", IStorage::InvalidFormat},
        {"", IStorage::InvalidFormat},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(model->VerifyPath("/audio/gain", c.format), c.expected)
            << (c.format ? c.format : "null");
    }
    // The format is judged before the path.
    EXPECT_EQ(model->VerifyPath("/missing", "bogus"), IStorage::InvalidFormat);
}
