// Arbitrary bytes as a received message line: the routing header parser, the command-word
// lookup and the line reader of every message class, then what the driver does with an
// accepted line (route one hop, address a reply, build it again).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/ErrorReply.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalMap.h"
#include "core/Signal.h"
#include "core/ZelkorLog.h"
#include "discovery/Goodbye.h"

namespace {

using Zelkor::Message;
using Zelkor::Param;

// A message with many declared parameters, so that bodies reach the parameter store.
class FuzzGet : public Message {
public:
    FuzzGet()
        : Message({Param::path, Param::value, Param::error, Param::size, Param::arguments, Param::params,
                   Param::guid, Param::name, Param::message, Param::reason}) {}
    const char* CommandName() const override { return "get"; }
    std::unique_ptr<Message> Instantiate() const override { return std::make_unique<FuzzGet>(); }
};

std::unique_ptr<Message> createGet() { return std::make_unique<FuzzGet>(); }
std::unique_ptr<Message> createError() { return std::make_unique<Zelkor::ErrorReply>(); }
std::unique_ptr<Message> createGoodbye() { return std::make_unique<Zelkor::Goodbye>(); }

struct Words {
    Zelkor::Signal<Zelkor::MessageSignalData> signal;
    Zelkor::MessageSignalMap map;
    std::vector<std::unique_ptr<Message>> prototypes;

    Words() {
        map.SetMessageSignalFactory(Zelkor::MessageSignalFactory("get", &signal, createGet));
        map.SetMessageSignalFactory(Zelkor::MessageSignalFactory("error", &signal, createError));
        map.SetMessageSignalFactory(Zelkor::MessageSignalFactory("goodbye", &signal, createGoodbye));
        for (const auto& factory : map.GetMessageSignals()) {
            prototypes.push_back(factory.MessageFactory()());
        }
    }
};

void exercise(Message& message, const Zelkor::MessageForwardInfo& header) {
    message.SetMessageForwardInfo(header);
    message.Build(true);
    message.Build(false);
    for (const auto& parameter : message.GetParameters()) {
        message.GetParamValue(parameter.ParameterName());
    }
    Json::Value arguments;
    message.GetJsonParameter(arguments, Param::arguments);
    message.FromNetworkParms(arguments);
    message.FromNetworkParms(header.JsonBody());
    Json::Value object(Json::objectValue);
    message.ToNetworkParms(object);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Rejections are logged; keep the formatting but not the console.
    ZelkorLog::TheLog().RegisterExternalLogger([](std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Words words;
    const std::string line(reinterpret_cast<const char*>(data), size);
    std::string error;

    Zelkor::MessageForwardInfo header;
    const std::string rest = header.PullHeader(line);
    words.map.GetMessageSignalFactory(line.c_str());

    if (!rest.empty()) {
        header.SetDeviceName("nodeB");
        std::ostringstream out;
        header.PutHeader(out, !header.isReply, header.GetCommand().c_str());
        Zelkor::MessageForwardInfo forwarded(header);
        std::string next;
        forwarded.TransitionTargetToSource(next);
        forwarded.PutMessageForwardHeader(out);
        forwarded.ReversePaths();
        forwarded.PutMessageForwardHeader(out);

        const auto factory = words.map.GetMessageSignalFactory(header.CommandText().c_str());
        if (factory.MessageFactory()) {
            auto message = factory.MessageFactory()();
            if (message->FromNetworkFormat(!header.isReply, rest, error)) {
                message->SetRawText(rest);
                exercise(*message, header);
            }
        }
    }

    // The bytes as node names: a header that is written at all is one line the parser
    // takes back, whatever the names held.
    Zelkor::MessageForwardInfo named(line, "nodeA", "");
    std::ostringstream written;
    if (named.PutMessageForwardHeader(written)) {
        Zelkor::MessageForwardInfo reread;
        if (written.str().find('\n') != std::string::npos || reread.PullHeader(written.str() + "get") != "get") {
            std::abort();
        }
    }

    for (const auto& prototype : words.prototypes) {
        auto message = prototype->Instantiate();
        if (message->FromNetworkFormat(true, line, error)) {
            exercise(*message, header);
        }
        message->SetParameter(Param::message, line.c_str());
        message->SetParameter(Param::reason, line.c_str());
        message->SetParms(line);
        message->ToJson(false);
    }
    return 0;
}
