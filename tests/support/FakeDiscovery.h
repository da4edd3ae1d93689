#pragma once
// A discovery for driver tests: it answers the driver's questions from settings the test
// makes, records what the driver asks of it, and handles the words the test gives it the
// way a service would: it keeps each request and answers it when the test says so (or at
// once), echoing a body with the request's own routing header.
//
// Threads: the driver calls it on its loop; the settings are atomics or set before Run;
// the records are guarded, so the test thread may read them at any time.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/MessageForwardInfo.h"
#include "driver/IDriverDiscovery.h"

namespace Zelkor {
class Message;
class ZelkorDriver;
}

namespace ZelkorTest {

class FakeDiscovery : public Zelkor::IDriverDiscovery {
public:
    struct Request {
        std::string word;
        std::string line;  // "word {json}" as the driver read it
        Zelkor::MessageForwardInfo header;
        std::shared_ptr<Zelkor::TcpSocket> socket;
        void* handle = nullptr;
    };

    explicit FakeDiscovery(std::weak_ptr<Zelkor::ZelkorDriver> driver) : _driver(std::move(driver)) {}

    // Settings, made before Run unless atomic.
    std::string name = "R";
    std::set<std::string> serviceWords{"identify", "locate"};
    std::string throwOn;             // a service word whose handling throws
    bool answerAtOnce = false;       // echo every request's body at once
    bool goodbyeOnStop = false;      // Stop sends a goodbye on, then closes, every connection it saw
    std::atomic<bool> hasCode{false};
    std::atomic<bool> connectionsValid{true};
    std::atomic<bool> sendDiscos{false};
    std::atomic<bool> router{true};
    std::atomic<std::uint64_t> keepAliveMs{10000};
    std::atomic<bool> ownsDevices{false};  // AuthenticateDeviceOf finds a device for every socket
    std::atomic<std::uint64_t> maxQueueDepth{0};
    std::atomic<NoticeWay> noticeWay{NoticeWay::NotFollowed};  // WayOfNotice's answer to every notice
    void SetGuid(const std::string& guid);
    void AddDevice(const std::string& device, std::shared_ptr<Zelkor::TcpSocket> socket);

    // Records.
    std::vector<std::string> Calls() const;
    std::size_t Count(const std::string& call) const;
    std::size_t Handled(const std::string& word) const;
    std::vector<std::string> Lines() const;
    // The interface values the listen state published, "name/key" to value.
    std::map<std::string, std::string> InterfaceValues() const;
    // Answers the request handled index-th (from 0) with `body`, on the driver's loop,
    // through the driver's send operation `send`.
    using Send = void (Zelkor::ZelkorDriver::*)(void*, Zelkor::Message&, bool);
    void Answer(std::size_t index, const std::string& body, Send send = nullptr);

    void Initialize() override { record("Initialize"); }
    std::shared_ptr<StorageModel> GetStorageModel() override { return nullptr; }
    std::string InstanceName() override { return name; }
    bool ReplyDiscos() override { return false; }
    void SendSendDiscoRequest() override { record("SendSendDiscoRequest"); }
    void StartTimer() override { record("StartTimer"); }
    void Stop() override;
    void ResetDeviceList() override { record("ResetDeviceList"); }
    void ResetIncomingConnections() override { record("ResetIncomingConnections"); }
    void ResetAllExcept(void*) override { record("ResetAllExcept"); }
    void UpdateDiscoReplyValue(const std::string& n, const std::string& v) override { record(n + "=" + v); }
    bool IsServiceCommand(const std::string& word) override { return serviceWords.count(word) > 0; }
    void SendDiscoReply(Zelkor::Packet&) override { record("SendDiscoReply"); }
    void HandleDiscoReply(Zelkor::Packet&) override { record("HandleDiscoReply"); }
    bool HasVerificationCode() override { return hasCode.load(); }
    bool IsValidConnection(void*) override { return connectionsValid.load(); }
    bool GetDeviceHandleByName(const std::string& device, std::shared_ptr<Zelkor::TcpSocket>& socket) override;
    NoticeWay WayOfNotice(const std::string&, void*) override { return noticeWay.load(); }
    void UpdateStatistics(std::shared_ptr<Zelkor::TcpSocket>, TimePoint, TimePoint) override {
        record("UpdateStatistics");
    }
    bool SendDiscos() override { return sendDiscos.load(); }
    bool IsRouter() const override { return router.load(); }
    std::uint64_t GetKeepAliveDiscoInterval() const override { return keepAliveMs.load(); }
    std::string GUID() override;
    std::uint64_t MaxQueueDepth() override { return maxQueueDepth.load(); }
    void SetRequestTime(const std::shared_ptr<Zelkor::TcpSocket>&, std::int64_t) override { record("SetRequestTime"); }
    void ClearRequestTime(const std::shared_ptr<Zelkor::TcpSocket>&) override { record("ClearRequestTime"); }
    void SendKeepAliveDisco(std::shared_ptr<Zelkor::TcpSocket>, Zelkor::MessageForwardInfo&) override {
        record("SendKeepAliveDisco");
    }
    bool GetModelDHCP(std::string&, std::string&) override { return false; }
    void UpdateInterfaceDiscoReplyValue(const std::string& interfaceName, const std::string& key,
                                        const std::string& value) override;
    bool AuthenticateDeviceOf(std::shared_ptr<Zelkor::TcpSocket>) override {
        record("AuthenticateDeviceOf");
        return ownsDevices.load();
    }
    const char* AdmitForwardedProof(const Zelkor::TcpSocket&, bool&) override { return nullptr; }
    bool ForwardedProofAnswered(const Zelkor::TcpSocket&, const std::string& error) override {
        return error == "Authentication Failed";
    }
    void GiveMessageMapToMessageReceiver(Zelkor::ICombineMessageSignalMaps*) override { record("GiveMessageMap"); }
    void SignalRaised(Zelkor::MessageSignalData& data) override;

private:
    void record(const std::string& call);
    void answer(const Request& request, const std::string& body, Send send = nullptr);

    std::weak_ptr<Zelkor::ZelkorDriver> _driver;
    mutable std::mutex _mutex;
    std::vector<std::string> _calls;
    std::vector<Request> _requests;
    std::map<std::string, std::weak_ptr<Zelkor::TcpSocket>> _devices;
    std::string _guid = "6f9619ff-8b86-d011-b42d-00cf4fc964ff";
    std::map<std::string, std::string> _interfaceValues;
};

}  // namespace ZelkorTest
