// Builds a few message lines with routing headers, reads them back the way a receiving
// node does, and logs every step through the library's logger on the console.

#include <memory>
#include <string>

#include "core/ErrorReply.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalMap.h"
#include "core/Signal.h"
#include "core/ZelkorLoggable.h"
#include "discovery/Goodbye.h"

namespace {

using Zelkor::Message;
using Zelkor::MessageForwardInfo;
using Zelkor::Param;

class GetValue : public Message {
public:
    GetValue() : Message({Param::path, Param::value, Param::error}) {}
    const char* CommandName() const override { return "get"; }
    std::unique_ptr<Message> Instantiate() const override { return std::make_unique<GetValue>(); }
};

std::unique_ptr<Message> createGet() { return std::make_unique<GetValue>(); }
std::unique_ptr<Message> createError() { return std::make_unique<Zelkor::ErrorReply>(); }
std::unique_ptr<Message> createGoodbye() { return std::make_unique<Zelkor::Goodbye>(); }

class Demo : public ZelkorLoggable {
public:
    Demo() : ZelkorLoggable("DEMO") {
        _words.SetMessageSignalFactory(Zelkor::MessageSignalFactory("get", &_signal, createGet));
        _words.SetMessageSignalFactory(Zelkor::MessageSignalFactory("error", &_signal, createError));
        _words.SetMessageSignalFactory(Zelkor::MessageSignalFactory("goodbye", &_signal, createGoodbye));
    }

    // What a node does with a received line: strip the header, find the word, read the body.
    void Receive(const std::string& node, const std::string& line) {
        MessageForwardInfo header;
        const std::string rest = header.PullHeader(line);
        if (rest.empty()) {
            Warning("line refused by " + node);
            return;
        }
        const std::string source = header.GetSource();
        Info(node + " received " + header.CommandText() + " from", source.empty() ? "its neighbour" : source);
        const auto factory = _words.GetMessageSignalFactory(header.CommandText().c_str());
        if (!factory.MessageFactory()) {
            Warning("no message class for", header.GetCommand());
            return;
        }
        auto message = factory.MessageFactory()();
        std::string error;
        if (!message->FromNetworkFormat(!header.isReply, rest, error)) {
            Warning("body refused", error);
            return;
        }
        for (const auto& parameter : message->GetParameters()) {
            Info("  " + std::string(Message::GetStringFromParam(parameter.ParameterName())) + " =",
                 parameter.ParameterValue());
        }
    }

private:
    Zelkor::Signal<Zelkor::MessageSignalData> _signal;
    Zelkor::MessageSignalMap _words;
};

}  // namespace

int main() {
    Demo demo;
    demo.SetWriteFile(false);
    demo.SetWritePrelog(false);
    demo.Info("Zelkor message lines");

    // A controller (ctl) asks device dev through router rtr, with sender hashes.
    GetValue request;
    request.SetParameter(Param::path, "/configuration/device/name");
    MessageForwardInfo route("rtr&dev", "ctl", "ctl");
    route.hasHash = true;
    route.SetHash("5f0c3a9e-2b7d-4c1e-9a44-0c2d8e6f7a10");
    const std::string line = request.Build(route, true);
    demo.Info("ctl sends", line.substr(0, line.size() - 1));

    // The router moves itself to the sources and passes the line on.
    MessageForwardInfo atRouter;
    const std::string rest = atRouter.PullHeader(line);
    std::string next;
    atRouter.TransitionTargetToSource(next);
    GetValue forwarded;
    std::string error;
    forwarded.FromNetworkFormat(true, rest, error);
    forwarded.SetMessageForwardInfo(atRouter);
    const std::string hop = forwarded.Build(true);
    demo.Info("rtr forwards to " + next, hop.substr(0, hop.size() - 1));
    demo.Receive("dev", hop);

    // The device answers along the reversed route.
    MessageForwardInfo atDevice;
    atDevice.PullHeader(hop);
    atDevice.SetDeviceName("dev");
    atDevice.ReversePaths();
    GetValue reply;
    reply.SetParameter(Param::path, "/configuration/device/name");
    reply.SetParameter(Param::value, "studio-left");
    reply.SetMessageForwardInfo(atDevice);
    const std::string answer = reply.Build(false);
    demo.Info("dev answers", answer.substr(0, answer.size() - 1));
    demo.Receive("rtr", answer);

    Zelkor::ErrorReply refusal;
    refusal.SetParameter(Param::message, "Message is misrouted");
    demo.Receive("ctl", refusal.Build(false));

    Zelkor::Goodbye goodbye;
    goodbye.SetParameter(Param::reason, "shutdown");
    demo.Receive("dev", goodbye.Build(true));

    demo.Info("a malformed line is refused with its reason:");
    demo.Receive("dev", "[x] get {}");
    return 0;
}
