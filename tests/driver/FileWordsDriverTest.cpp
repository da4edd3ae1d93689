// The file-system words through the receive road: a reply that cannot be read still
// reaches its word's signal, as an error reply, so that the result callback waiting for
// it hears; a request that cannot be read is refused as any other.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/Message.h"
#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "filetransfer/IFileTransferService.h"
#include "support/DriverHarness.h"
#include "support/FirmwareHost.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

TEST(FileWordsDriver, AnUnreadableReplyReachesItsSignalAsAnError) {
    ZelkorLog::TheLog().SetLevel(3);
    DriverHarness harness;
    FirmwareHost state([](std::string&, const std::string&) { return false; });
    harness.driver->InitFileTransfer(&state);
    harness.Start();
    Zelkor::IFileTransferService* service = harness.driver->GetFileTransferService();
    ASSERT_NE(service, nullptr);
    std::mutex mutex;
    std::vector<std::string> heard;
    std::vector<boost::signals2::scoped_connection> connections;
    for (const char* word : {"listfiles", "deletefile", "fwupdate"}) {
        connections.emplace_back(service->AddHandler2(word, [&](Zelkor::MessageSignalData& data) {
            const Zelkor::Message* message = data.GetMessage();
            const char* error = message ? message->GetParameter(Zelkor::Param::error) : nullptr;
            std::lock_guard<std::mutex> lock(mutex);
            heard.push_back(std::string(message->CommandName()) + (message->GetIsReply() ? " reply " : " request ") +
                            (error ? error : "-"));
        }));
    }
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    // JSON the listing's reader refuses (a line that is no JSON ends at the connection).
    peer.Send("@listfiles [1]\n");
    peer.Send("@listfiles {\"files\":[]}\n");
    const auto count = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return heard.size();
    };
    ASSERT_TRUE(WaitUntil([&] { return count() == 2; }, std::chrono::seconds(5)));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(heard[0], "listfiles reply Unparseable JSON");
        EXPECT_EQ(heard[1], "listfiles reply -");
    }
    // A request that cannot be read is refused with the reader's text, as before.
    peer.Send("deletefile {}\n");
    EXPECT_EQ(peer.ReadLine(), "@deletefile {\"error\":\"Path is required\"}\n");
    harness.Stop();
}

}  // namespace
}  // namespace ZelkorTest
