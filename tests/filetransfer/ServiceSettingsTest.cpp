// The transfer service's settings, storage root and dispatch: clamped settings, the
// roots refused, and transfer words over a datagram dropped.
#include <gtest/gtest.h>

#include <string>

#include "filetransfer/TransferServiceFixture.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

using ServiceSettings = TransferServiceFixture;

TEST_F(ServiceSettings, SettingsAreClampedAndTheBlockSizeReachesTheConnections) {
    struct Case {
        unsigned long given, returned, stored;
    };
    for (const Case c : {Case{0, 1, 1}, Case{1, 1, 1}, Case{100, 100, 100}, Case{500, 100, 100}}) {
        EXPECT_EQ(service->SetFileTransferCount(c.given), c.returned) << c.given;
        EXPECT_EQ(service->GetFileTransferCount(), c.stored) << c.given;
    }
    // The setter answers what was asked (raised to the floor), the getter what is kept.
    for (const Case c : {Case{100, 512, 512}, Case{513, 513, 513}, Case{536870912, 536870912, 268435456}}) {
        EXPECT_EQ(service->SetBlockSize(c.given), c.returned) << c.given;
        EXPECT_EQ(service->GetBlockSize(), c.stored) << c.given;
        EXPECT_EQ(sender.transferBlockSize, c.stored) << c.given;
    }
    for (const Case c : {Case{10, 50, 50}, Case{250, 250, 250}, Case{5000, 5000, 1000}}) {
        EXPECT_EQ(service->SetFileTransferInterval(c.given), c.returned) << c.given;
        EXPECT_EQ(service->GetFileTransferInterval(), c.stored) << c.given;
    }
}

TEST_F(ServiceSettings, StorageRootRefusesUrlsAndMissingAbsolutePaths) {
    LogCapture log;
    EXPECT_EQ(service->SetStorageRootPath(dir.Path().string()), "");
    EXPECT_EQ(service->GetStorageRootPath(), dir.Path().string());
    EXPECT_EQ(service->SetStorageRootPath("http://"), "Invalid");
    EXPECT_EQ(service->SetStorageRootPath((dir.Path() / "missing").string()), "Does Not Exist");
    EXPECT_EQ(service->GetStorageRootPath(), dir.Path().string());
    EXPECT_TRUE(log.Contains("ZK7928E Requested storagerootpath is Invalid"));
    EXPECT_TRUE(log.Contains("ZK7927E Requested file does not exist"));
    // Only the three roots as whole texts are refused; a relative root is not checked.
    EXPECT_EQ(service->SetStorageRootPath("http://host/x"), "");
    EXPECT_EQ(service->SetStorageRootPath("relative/root"), "");
    EXPECT_EQ(service->SetStorageRootPath("null"), "");
    EXPECT_EQ(service->GetStorageRootPath(), "");
}

TEST_F(ServiceSettings, OnlyTheTransferWordsAreClaimedAndDatagramsAreDropped) {
    for (const char* word : {"block", "putfile", "getfile", "cancelputfile"}) {
        EXPECT_TRUE(service->IsServiceCommand(word)) << word;
    }
    for (const char* word : {"PUTFILE", "@putfile", "get", "fwupdate", ""}) {
        EXPECT_FALSE(service->IsServiceCommand(word)) << word;
    }
    LogCapture log;
    Zelkor::MessageForwardInfo header;
    const std::string rest = header.PullHeader("putfile {\"path\":\"x\",\"state\":\"begin\",\"length\":3}\n");
    auto message = Zelkor::LookupCommand("putfile")();
    std::string error;
    ASSERT_TRUE(message->FromNetworkFormat(true, rest, error)) << error;
    int udp = 0;
    Zelkor::MessageSignalData data(&udp, nullptr, false, std::move(message));
    service->SignalRaised(data);
    EXPECT_EQ(sender.Count(), 0u);
    EXPECT_TRUE(log.Contains("ZK7906I ProcessPutFile packet.ConnHandle() is null"));
}

}  // namespace
}  // namespace ZelkorTest
