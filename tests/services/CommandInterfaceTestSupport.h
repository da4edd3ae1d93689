#pragma once
// The command interface over a recording sender: lines are handed to it as the driver's
// receive road would, and every exec reply a handler hears is recorded as one text.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "services/CommandInterfaceService.h"
#include "services/ExecMessages.h"
#include "support/FakeServiceSender.h"
#include "support/LogCapture.h"

namespace ZelkorTest {

class CommandInterfaceTest : public ::testing::Test {
protected:
    using Service = Zelkor::CommandInterfaceService;

    // As the receive road hands a line over, this node being "dev": a line the reader
    // refuses goes to UnreadableReply when it is a reply.
    void Receive(void* handle, const std::string& line) {
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName("dev");
        const std::string rest = header.PullHeader(line);
        auto message = Zelkor::CreateExecCommand();
        std::string error;
        if (!message->FromNetworkFormat(!header.isReply, rest, error)) {
            ASSERT_TRUE(header.isReply) << error;
            service.UnreadableReply(handle, rest, error);
            return;
        }
        message->SetIsReply(header.isReply);
        message->SetMessageForwardInfo(header);
        message->SetRawText(rest);
        Zelkor::MessageSignalData data(handle, nullptr, true, std::move(message));
        service.ExecSignal().Raise(data);
    }

    // A handler that records "name:path|command|ok/fail|result|requestid".
    Service::ExecResultHandler Record(const std::string& name) {
        return [this, name](const std::string& path, const std::string& command, bool success,
                            const std::string& result, const std::string& requestid) {
            calls.push_back(name + ":" + path + "|" + command + "|" + (success ? "ok" : "fail") + "|" + result + "|" +
                            requestid);
        };
    }
    Service::RawReplyHandler RecordRaw(const std::string& name) {
        return [this, name](const std::string& text) { calls.push_back(name + ":" + text); };
    }

    void Exec(void* handle, const std::string& command, Service::ExecResultHandler handler,
              const std::string& requestid = "") {
        service.SendExecCommand(handle, "/p", command.c_str(), std::string(), header, requestid, std::move(handler));
    }
    // The reply a device would give to Exec(handle, command, ...).
    void Answer(void* handle, const std::string& command, const std::string& status = "true") {
        Receive(handle, "@exec {\"command\":\"" + command + "\",\"path\":\"/p\",\"status\":\"" + status + "\"}\n");
    }
    std::string LostCall(const std::string& name) const { return name + ":/||fail|connection lost|"; }
    std::string OkCall(const std::string& name, const std::string& command) const {
        return name + ":/p|" + command + "|ok||";
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& line : sender.Lines()) {
            out.push_back(line.text);
        }
        return out;
    }

    LogCapture log;
    FakeServiceSender sender;
    Service service{&sender};
    Zelkor::MessageForwardInfo header;
    std::vector<std::string> calls;
    int connectionA = 0;
    int connectionB = 0;
    void* const first = &connectionA;
    void* const second = &connectionB;
};

}  // namespace ZelkorTest
