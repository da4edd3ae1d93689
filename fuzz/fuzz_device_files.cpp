// A controller's device object hearing arbitrary file-system replies and firmware words:
// the device's five result callbacks and its two firmware callbacks are registered on the
// service's signals of a driver that is never run, and each line goes in through the
// driver's receive road as its connection would hand it over. The connections are never
// opened, so nothing reaches a network; no request of the five words is made, so nothing
// touches the disk.
//
// Input: "\n"-separated steps. A step's first byte picks the word (bits 0-2, modulo 6), where the
// line comes from (bits 3-4: the device's own connection, which this node opened; the
// same, the rest of the step being the whole line, routing header and word included;
// another connection, accepted; a datagram) and, for "fwupdate", whether it is a request
// (bit 5); every other step is a reply. The rest is the JSON body.
//
// Held: a line reaches at most one callback, and only from the device's own connection;
// a reply built of the word and a body its reader takes reaches the word's callback
// exactly once; what a callback hears agrees with itself (a listing within the entries
// bound and empty on failure, no free space on failure, no error text on success).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <json/value.h>

#include "FuzzSupport.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/ZelkorLog.h"
#include "device/DeviceImpl.h"
#include "discovery/NewDiscoInfo.h"
#include "driver/CommandTable.h"
#include "driver/ZelkorDriver.h"
#include "storage/RequestBound.h"
#include "support/FakeDiscovery.h"
#include "support/FirmwareHost.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

namespace {

const char* const kWords[] = {"deletefile", "listfiles", "freespace", "mkdir", "rmdir", "fwupdate"};

enum class From { Own, OwnRaw, Other, Datagram };

// What the callbacks heard since the last step: the callback's name, or "" for none.
struct Heard {
    std::vector<std::string> names;
    void Add(const char* name) { names.emplace_back(name); }
};

struct Node {
    boost::asio::io_context io;
    std::shared_ptr<Zelkor::ZelkorDriver> driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    std::shared_ptr<ZelkorTest::FakeDiscovery> discovery = std::make_shared<ZelkorTest::FakeDiscovery>(driver);
    // A peer's "fwupdate" on an accepted connection: refused with its arguments, unless empty.
    ZelkorTest::FirmwareHost host{[](std::string& error, const std::string& arguments) {
        error = arguments;
        return arguments.empty();
    }};
    std::shared_ptr<Zelkor::DeviceImpl> device;
    Heard heard;

    Node() {
        driver->UseDiscovery(discovery);
        driver->InitFileTransfer(&host);
        Json::Value record(Json::objectValue);
        record["guid"] = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";
        record["name"] = "amp-1";
        record["ip"] = "10.0.0.5";
        record["port"] = 4197;
        record["classname"] = "amplifier";
        Zelkor::NewDiscoInfo info;
        info.updateFrom(record);
        device = std::make_shared<Zelkor::DeviceImpl>(driver.get(), info);
        Register();
    }

    void Register() {
        device->OnFreespaceResult([this](bool ok, long long& bytes, std::string& error) {
            if ((!ok && bytes != 0) || (ok && !error.empty())) {
                std::abort();
            }
            heard.Add("freespace");
        });
        device->OnDeletefileResult([this](bool ok, std::string& error) {
            if (ok && !error.empty()) {
                std::abort();
            }
            heard.Add("deletefile");
        });
        device->OnListFilesResult(
            [this](bool ok, const std::vector<Zelkor::ListFilesItem>& entries, const std::string& error) {
                if (entries.size() > Zelkor::MaxEntriesPerMessage() || (!ok && !entries.empty()) ||
                    (ok && !error.empty())) {
                    std::abort();
                }
                heard.Add("listfiles");
            });
        const auto folder = [this](const char* word) {
            return [this, word](bool ok, const std::string& error) {
                if (ok && !error.empty()) {
                    std::abort();
                }
                heard.Add(word);
            };
        };
        device->OnCreateDirResult(folder("mkdir"));
        device->OnRemoveDirResult(folder("rmdir"));
        device->OnFirmwareUpdateResult([this](const std::string&) { heard.Add("fwupdate"); });
        device->OnFirmwareUpdate([this](const std::string&) { heard.Add("notice"); });
    }
};

Node& node() {
    static Node made;
    return made;
}

// Whether the word's reader takes the body, as the receive road's reading would.
bool Readable(const std::string& word, bool reply, const std::string& body) {
    auto message = Zelkor::LookupCommand(word)();
    std::string error;
    return message && message->FromNetworkFormat(!reply, body, error);
}

void Step(Node& at, const std::shared_ptr<Zelkor::TcpSocket>& own, const std::shared_ptr<Zelkor::TcpSocket>& other,
          const std::shared_ptr<Zelkor::UdpSocket>& udp, const std::string& step) {
    const auto pick = static_cast<unsigned char>(step[0]);
    const std::string word = kWords[(pick & 7) % 6];
    const auto from = static_cast<From>((pick >> 3) & 3);
    const bool request = word == "fwupdate" && (pick & 32) != 0;
    const std::string body = step.substr(1);
    std::string line = from == From::OwnRaw ? body : (request ? "" : "@") + word + " " + body;
    Zelkor::MessageForwardInfo header;
    if (!ZelkorFuzz::ReceivedLine(line, header)) {
        return;
    }
    at.heard.names.clear();
    switch (from) {
        case From::Own:
        case From::OwnRaw:
            at.driver->MessageReceived(own, header, {}, {});
            break;
        case From::Other:
            at.driver->MessageReceived(other, header, {}, {});
            break;
        case From::Datagram:
            at.driver->MessageReceived(udp, header);
            break;
    }
    const auto& names = at.heard.names;
    if (names.size() > 1 || (from != From::Own && from != From::OwnRaw && !names.empty())) {
        std::abort();
    }
    if (from == From::Own) {
        const std::string expected = request ? "notice" : word;
        if (!names.empty() && names[0] != expected) {
            std::abort();
        }
        // A line the stripping left as it was, whose body the reader takes, is heard.
        if (names.empty() && line == (request ? "" : "@") + word + " " + body + "\n" &&
            Readable(word, !request, body)) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    ZelkorFuzz::TurnEntropicOff(argc, argv);
    ZelkorLog::TheLog().RegisterExternalLogger([](std::string&) {});
    node();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Node& at = node();
    auto& tls = at.driver->GetSSLContext();
    const auto own = std::make_shared<Zelkor::TcpSocket>(at.io, tls, true);
    own->SetOutgoing(true);
    const auto other = std::make_shared<Zelkor::TcpSocket>(at.io, tls, false);
    const auto udp = std::make_shared<Zelkor::UdpSocket>(at.io, Zelkor::ZelkorDriver::ProtocolPort);
    at.device->SetHandle(own);
    const std::string input(reinterpret_cast<const char*>(data), size);
    // On the loop, as the sockets deliver: callbacks run while the line is handled.
    boost::asio::post(at.io, [&] {
        ZelkorFuzz::ForEachLine(input, [&](const std::string& step) { Step(at, own, other, udp, step); });
    });
    at.io.restart();
    for (int round = 0; round < 64 && at.io.poll() > 0; ++round) {
    }
    // Ended as a closing connection ends, so that nothing of them stays with the driver.
    at.device->SetHandle(nullptr);
    for (const auto& socket : {own, other}) {
        socket->Close();
        at.driver->SocketClosed(socket);
    }
    at.driver->CloseSocket(udp);
    at.io.restart();
    for (int round = 0; round < 64 && at.io.poll() > 0; ++round) {
    }
    return 0;
}
