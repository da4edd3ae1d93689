// Who may use a device's file system: a node holding an authentication code, reached over
// a veth pair between two namespaces of the test's own (loopback peers skip the rules; root
// only, else skipped), and a TLS peer that proved the code without the Kasdor key. It may
// look (listing, free space) but not change (removal, deletion, folders, firmware).

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include <json/value.h>

#include "core/JsonText.h"
#include "discovery/SecurityTestSupport.h"
#include "storage/JsonModel.h"
#include "support/DriverHarness.h"
#include "support/FirmwareHost.h"
#include "support/NetNamespace.h"
#include "support/RunUntil.h"
#include "support/SampleTree.h"
#include "support/TempDir.h"
#include "support/TlsMaterial.h"

namespace ZelkorTest {
namespace {

namespace sfs = std::filesystem;

std::string Request(const std::string& word, const std::string& path) {
    Json::Value body(Json::objectValue);
    body["path"] = path;
    return word + " " + Zelkor::WriteCompactJson(body) + "\n";
}

Json::Value BodyOf(const std::string& line) {
    Json::Value body;
    const auto brace = line.find('{');
    if (brace != std::string::npos) {
        Zelkor::ReadWholeJson(std::string_view(line).substr(brace), body);
    }
    return body;
}

TEST(FileSystemAuthorisation, APeerWithTheCodeButNotKasdorLooksButChangesNothing) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    sfs::create_directories(folder.Path() / "keep" / "inner");
    WriteFile((folder.Path() / "keep" / "file").string(), "abc");
    CodeKeeper keeper{"door-code"};
    FirmwareHost host;
    DriverHarness harness;
    LoadTlsMaterial(harness.driver->GetSSLContext());
    harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
    harness.driver->GetDiscovery()->OnVerificationCode(keeper.Callback());
    harness.driver->InitFileTransfer(&host);
    harness.tlsProvisioned = true;
    // The node's listener and loop live in namespace a, the peer's socket in b.
    ASSERT_TRUE(pair.a.Run([&] { harness.Start(VethPair::AddressA); }));
    RawPeer peer;
    ASSERT_TRUE(pair.b.Run([&] { peer.Socket().open(boost::asio::ip::tcp::v4()); }));
    const auto socket = harness.Connect(peer);
    ASSERT_TRUE(socket);
    peer.Send("starttls\n");
    ASSERT_EQ(peer.ReadLine(), "@starttls {}\n");
    ASSERT_TRUE(peer.StartTls());
    ASSERT_TRUE(WaitUntil([&] { return socket->GetState() == Zelkor::TcpSocket::Tls; }));
    // A key digest of the peer's own instead of the Kasdor one: authenticated, no more.
    peer.Send("authenticate {\"code\":\"" + ProofOf(keeper.Code(), RandomBytes(32), RandomBytes(32)) + "\"}\n");
    ASSERT_EQ(peer.ReadLine(), "@authenticate {}\n");
    ASSERT_TRUE(socket->IsAuthenticated());
    ASSERT_FALSE(socket->IsKasdorAuthenticated());

    const std::string keep = (folder.Path() / "keep").string();
    peer.Send(Request("listfiles", keep));
    const Json::Value listing = BodyOf(peer.ReadLine());
    EXPECT_EQ(listing["path"].asString(), keep);
    EXPECT_EQ(listing["files"].size(), 2u) << listing;
    peer.Send(Request("freespace", keep));
    const Json::Value space = BodyOf(peer.ReadLine());
    EXPECT_TRUE(space["size"].isString() && !space.isMember("error")) << space;

    const std::pair<std::string, std::string> refused[] = {
        {"rmdir", keep},
        {"deletefile", keep + "/file"},
        {"mkdir", keep + "/made"},
        {"rmdir", keep + "/inner"},
        {"fwupdate", keep},
    };
    for (const auto& [word, path] : refused) {
        peer.Send(Request(word, path));
        EXPECT_EQ(peer.ReadLine(), "@" + word + " {\"error\":\"Command not permitted\"}\n") << word << " " << path;
    }
    EXPECT_TRUE(sfs::is_directory(folder.Path() / "keep" / "inner"));
    EXPECT_TRUE(sfs::exists(folder.Path() / "keep" / "file"));
    EXPECT_FALSE(sfs::exists(folder.Path() / "keep" / "made"));
    EXPECT_EQ(host.updates.load(), 0);
    harness.Stop();
}

}  // namespace
}  // namespace ZelkorTest
