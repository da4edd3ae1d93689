// Builds a few message lines with routing headers, reads them back the way a receiving
// node does, then loads a device's parameter tree and reads, writes and gets values from
// it, logging every step through the library's logger on the console.
//
// Usage: zelkor_demo [device-tree.json]

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>

#include "core/ErrorReply.h"
#include "core/JsonText.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalMap.h"
#include "core/Signal.h"
#include "core/ZelkorLoggable.h"
#include "discovery/Goodbye.h"
#include "storage/JsonModel.h"
#include "storage/ObjectParamContainer.h"

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

// A temporary working folder for the parameter model, whose event log goes into the
// working folder it was built in; removed with its content when the tour is over.
class ScratchFolder {
public:
    ScratchFolder() : _previous(std::filesystem::current_path()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "zelkor-demo-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            _path = pattern;
            std::filesystem::current_path(_path);
        }
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::current_path(_previous, ignored);
        if (!_path.empty()) {
            std::filesystem::remove_all(_path, ignored);
        }
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

private:
    std::filesystem::path _previous;
    std::filesystem::path _path;
};

// The tree named on the command line, else the source tree's sample, else the copy
// next to the program.
std::filesystem::path treeFile(int argc, char** argv) {
    if (argc > 1) {
        return argv[1];
    }
    std::error_code ec;
    if (std::filesystem::exists(ZELKOR_SAMPLE_TREE, ec)) {
        return ZELKOR_SAMPLE_TREE;
    }
    return std::filesystem::absolute(argv[0], ec).parent_path() / "device-tree.json";
}

void showRead(const Demo& demo, Zelkor::IStorage& storage, const char* path) {
    for (const char* format : {"variant", "string", "number", "norm"}) {
        Json::Value value;
        const auto status = storage.GetValueForPath(path, format, value);
        const std::string shown = status == Zelkor::IStorage::PathOk
                                      ? Zelkor::WriteCompactJson(value)
                                      : "refused: " + storage.GetStatusString(status);
        demo.Info(std::string("  ") + path + " in " + format + ":", shown);
    }
}

void showWrite(const Demo& demo, Zelkor::IStorage& storage, const char* path, const Json::Value& value) {
    const auto status = storage.SetValueForPath(path, "variant", value, true);
    demo.Info(std::string("  set ") + path + " to " + Zelkor::WriteCompactJson(value) + ":",
              storage.GetStatusString(status));
}

// Returns false when the tree could not be loaded.
bool tourOfTheTree(const Demo& demo, const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) {
        demo.Error("cannot read the parameter tree", file.string());
        return false;
    }
    demo.Info("Zelkor parameter tree from", file.string());
    ScratchFolder scratch;
    auto model = std::make_shared<Zelkor::JsonModel>(in);
    if (!model->GetRoot().isObject()) {
        demo.Error("the parameter tree did not load", file.string());
        return false;
    }

    demo.Info("values in every format:");
    for (const char* path : {"/configuration/device/name", "/audio/gain", "/audio/mode",
                             "/audio/mute", "/audio/filter", "/configuration/device/authenticate"}) {
        showRead(demo, *model, path);
    }

    demo.Info("writes are checked against each parameter's description:");
    showWrite(demo, *model, "/audio/gain", Json::Value(-6.5));
    showWrite(demo, *model, "/audio/gain", Json::Value(40));
    showWrite(demo, *model, "/version", Json::Value("9.9.9"));

    demo.Info("a peer's get of a whole group, answered in one container:");
    Zelkor::ObjectParamContainer request;
    request.FromJsonText(R"([{"path":"/audio/channels","format":"string"},{"path":"/audio/limiter"}])");
    model->GetObjectsParameters(request, true);
    demo.Info("  reply", request.ToJsonText());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
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

    return tourOfTheTree(demo, treeFile(argc, argv)) ? 0 : 1;
}
