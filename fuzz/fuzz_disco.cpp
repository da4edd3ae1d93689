// Arbitrary bytes as discovery traffic: the line through the "disco" and "senddisco"
// readers (request and reply) and back out, and the text as a reply body through both
// record updates. Whatever is accepted, a built line is one line and a device's list
// fragment, in braces, is one JSON object without a line break.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/JsonText.h"
#include "core/MessageForwardInfo.h"
#include "core/ZelkorLog.h"
#include "discovery/Disco.h"
#include "discovery/NewDiscoInfo.h"
#include "driver/Packet.h"

namespace {

void checkLine(const std::string& line) {
    if (!line.empty() && line.find('\n') != line.size() - 1) {
        std::abort();
    }
}

void checkFragment(const Zelkor::NewDiscoInfo& record) {
    Json::Value object;
    if (record.InfoString().find('\n') != std::string::npos ||
        !Zelkor::ReadWholeJson("{" + record.InfoString() + "}", object) || !object.isObject()) {
        std::abort();
    }
}

template <class M>
void throughReaders(const std::string& line) {
    for (const bool request : {true, false}) {
        M message;
        std::string error;
        if (message.FromNetworkFormat(request, line, error)) {
            checkLine(message.Build(request));
            checkLine(message.Build(!request));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ZelkorLog::TheLog().SetLevel(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    throughReaders<Zelkor::Disco>(text);
    throughReaders<Zelkor::SendDiscoMsg>(text);

    // The text as the body of a reply, as the driver's packet carries it.
    Zelkor::MessageForwardInfo header;
    header.PullHeader("@disco " + text);
    Zelkor::Packet packet;
    packet.header = &header;
    Zelkor::NewDiscoInfo record;
    if (record.updateFrom(packet)) {
        checkFragment(record);
    }
    // Its members as the entry of a router's list.
    const Json::Value& body = header.JsonBody();
    if (body.isObject()) {
        std::vector<Zelkor::MessageParameter> parameters;
        for (auto member = body.begin(); member != body.end(); ++member) {
            if (!member->isArray() && !member->isObject()) {
                parameters.emplace_back(Zelkor::Message::GetParamFromString(member.name()), member->asString());
            }
        }
        if (record.updateFrom(parameters)) {
            checkFragment(record);
        }
    }
    return 0;
}
