#pragma once
// What a protocol service needs of the driver: the send operations, the connection
// results and the few settings a service reads. A service holds this interface rather
// than the driver, so that it can be tested over a recording fake.
//
// Ownership: the driver implements it and outlives every service it made; a service
// keeps a plain pointer. Threads: the send operations may be called from any thread
// (what touches a connection runs on the event loop); ConnectionResults is raised on
// the loop.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <boost/asio/ip/address.hpp>

#include "core/MessageSignalData.h"
#include "core/Signal.h"
#include "driver/ConnectionResult.h"

namespace Zelkor {

class Message;
class MessageForwardInfo;

class IServiceSender {
public:
    // Whether the connection took the line (queued or written).
    using SendResult = std::function<void(bool taken)>;

    virtual ~IServiceSender() = default;

    // Builds the message's line now and sends it: on a TCP connection through the
    // connection (a reply also into the reply cache), on any other handle, a null one
    // included, as datagrams to the protocol port.
    virtual void BuildAndSendMessage(void* handle, Message& message, bool request) = 0;
    // The same, the sending done later from the loop.
    virtual void BuildAndSendMessageDelayed(void* handle, Message& message, bool request) = 0;
    // TCP: through the connection; UDP: one datagram back to the last sender.
    virtual void BuildAndSendUnicastMessage(void* handle, Message& message, bool request) = 0;
    // Hands a built request line to the handle's TCP connection on the loop, then calls
    // `done` there, in the same turn, with true when the connection took the line. Nothing
    // the loop does for the connection (a reply received, its close reported) comes in
    // between, so what `done` records stands in the order of the lines. A line the
    // connection did not take, a line that is not sendable, or a handle that is no live
    // TCP connection (after the datagrams BuildAndSendMessage would send) is reported
    // false a loop turn later, never inside this call: `done` may answer its request then,
    // and no answer comes inside the call that asked. `done` is not called when the
    // driver is gone before the loop runs it.
    virtual void SendRequest(void* handle, std::string line, SendResult done) = 0;
    // Runs `answer` on the loop a turn later, never inside this call: how a service answers
    // a request that never reached a connection. Dropped when the driver is gone first. A
    // sender without a loop of its own (a test's, a benchmark's) runs it at once.
    virtual void AnswerLater(std::function<void()> answer) {
        if (answer) {
            answer();
        }
    }
    // Any thread: how many request lines the handle's connection has taken so far (0 for a
    // handle that is no live TCP connection). A line the caller sends itself past the
    // service is known as sent once this passes the count it read before.
    virtual std::uint64_t RequestsTaken(void* /*handle*/) { return 0; }
    // A built reply line on the request's handle: over TCP through the connection and,
    // once the connection took it, into the reply cache under the request's hash and word
    // (an empty hash records nothing); over UDP one datagram back to the request's sender.
    virtual void SendReply(void* handle, const std::string& line, const std::string& hash, const std::string& word) = 0;
    // A storage value changed: the discovery reply carries it when it is one of its values.
    virtual void UpdateDiscoReplyValue(const std::string& path, const std::string& value) = 0;
    // Raised for every connection made, refused or closed.
    virtual Signal<ConnectionResult>& ConnectionResults() = 0;
    // Raised for every "@error" reply received; null for a sender that receives none.
    virtual Signal<MessageSignalData>* ErrorReplies() { return nullptr; }
    // Loop thread, while a reply received on the handle's connection is handed on: the
    // word of the request it answers, "" when it answers none the connection knows of.
    // An "@error" names no word of its own: this is how its request is found.
    virtual std::string AnsweredWord(void* /*handle*/) { return std::string(); }
    // What waits to be written on a connection, and the bound past which the connection
    // closes rather than hold more (both 0, and not open, for a handle that is no live TCP
    // connection: one closed by a failed write, say, while its request was handled).
    struct QueuedOutput {
        std::size_t bytes = 0;
        std::size_t bound = 0;
        bool open = false;
    };
    // Loop thread: the connection's queues belong to it.
    virtual QueuedOutput QueuedOutputOf(void* handle) = 0;
    // Loop thread: the requester behind a router on the handle's connection is gone (the
    // header's sources, the router nearest: the router answered a notice to it "Device not
    // found" or "Device not connected", or it said goodbye). Every service lets go of what
    // it holds for that requester; the connection and its other requesters keep theirs.
    virtual void ForgetRoutedRequester(void* /*handle*/, const MessageForwardInfo& /*header*/) {}
    // 0: no "starttls" after connecting.
    virtual unsigned long GetTlsLevel() = 0;
    // The storage's "/configuration/network/rules/security/allowparentpaths"; false
    // without storage.
    virtual bool ParentPathsAllowed() = 0;
    // True when the address and port are one of this node's own TCP listeners. A sender
    // that knows no network (a test's, a benchmark's) has neither listeners nor MACs.
    virtual bool IsListener(const boost::asio::ip::address& /*address*/, unsigned short /*port*/) { return false; }
    // True when the text equals (letter case included) the MAC text of one of the host's
    // interfaces.
    virtual bool IsLocalMAC(const std::string& /*mac*/) { return false; }
    // The file transfer block size changed: every connection's line limit and output
    // budget follow it (the block plus the line allowance), so that a block line fits.
    virtual void SetTransferBlockSize(std::size_t /*blockSize*/) {}
};

}  // namespace Zelkor
