#pragma once
// A sender for service tests: it records every line a service sends and, as a
// connection would, takes a request line or refuses it, reporting that at once (the
// calling thread stands for the event loop). Connection results are raised by the test.
//
// Threads: the records are guarded, so a service may send from any thread while the test
// reads them; the refusal rule is set before the sends it is meant for.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "driver/IServiceSender.h"

namespace ZelkorTest {

class FakeServiceSender final : public Zelkor::IServiceSender {
public:
    struct Line {
        void* handle = nullptr;
        std::string text;
        bool request = false;
        // For requests: whether the connection took it.
        bool taken = true;
    };

    void BuildAndSendMessage(void* handle, Zelkor::Message& message, bool request) override;
    void BuildAndSendMessageDelayed(void* handle, Zelkor::Message& message, bool request) override;
    void BuildAndSendUnicastMessage(void* handle, Zelkor::Message& message, bool request) override;
    void SendRequest(void* handle, std::string line, SendResult done) override;
    // The request lines recorded on the handle as taken.
    std::uint64_t RequestsTaken(void* handle) override;
    void SendReply(void* handle, const std::string& line, const std::string& hash, const std::string& word) override;
    Zelkor::Signal<Zelkor::ConnectionResult>& ConnectionResults() override { return _results; }
    void UpdateDiscoReplyValue(const std::string& path, const std::string& value) override;
    // The bytes of every line sent on a handle that has a budget, none ever written; open
    // until Close().
    QueuedOutput QueuedOutputOf(void* handle) override;
    unsigned long GetTlsLevel() override { return 0; }
    bool ParentPathsAllowed() override { return false; }
    // Own listeners and local MAC addresses: those the test added.
    bool IsListener(const boost::asio::ip::address& address, unsigned short port) override;
    bool IsLocalMAC(const std::string& mac) override;
    void SetTransferBlockSize(std::size_t blockSize) override { transferBlockSize = blockSize; }
    void AddListener(const boost::asio::ip::address& address, unsigned short port);
    void AddLocalMAC(const std::string& mac);

    // Decides for each request line whether the connection takes it; all are taken while
    // none is set.
    void SetAccept(std::function<bool(void* handle, const std::string& line)> accept);
    // From now on the lines sent on `handle` stay queued, against this bound.
    void SetOutputBudget(void* handle, std::size_t bound);
    // What waits on `handle` has been written: its queued bytes are none again.
    void Written(void* handle);
    // The connection of `handle` closed.
    void Close(void* handle);

    std::vector<Line> Lines() const;
    // The text of the last line sent, "" when none was.
    std::string Last() const;
    std::size_t Count() const;
    // "path value" of every UpdateDiscoReplyValue, in order.
    std::vector<std::string> DiscoValues() const;
    // The last block size the transfer service announced (0: none).
    std::size_t transferBlockSize = 0;

private:
    void record(Line line);

    Zelkor::Signal<Zelkor::ConnectionResult> _results;
    mutable std::mutex _mutex;
    std::function<bool(void*, const std::string&)> _accept;
    std::vector<Line> _lines;
    std::map<void*, QueuedOutput> _queued;
    std::set<void*> _closed;
    std::vector<std::string> _discoValues;
    std::vector<std::string> _localMACs;
    std::vector<std::pair<boost::asio::ip::address, unsigned short>> _listeners;
};

}  // namespace ZelkorTest
