#pragma once
// The owner of "exec" (see ICommandInterfaceService for what it promises). On a device it
// answers each request through the application's exec handler of the request's argument
// form. On a controller it sends requests and keeps, per connection, one queue of the
// places of the requests the connection took, in sending order: an exec handler or a raw
// handler each. A place joins the queue on the loop in the very turn in which the
// connection takes its line, so a line that never went out holds none, and a reply is
// always matched against the lines that went out before it. An "@error" the connection
// finds answering an "exec" takes that exec's place as a failure.
//
// Ownership: made and owned by the driver, which outlives it; the sender is not owned.
// Threads: sends and handler setters from any thread; requests, replies, connection
// results and the hand-over of sent lines on the loop. One mutex guards the queues and the
// seven handler slots; handlers are copied under it and called outside it.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include <boost/signals2/connection.hpp>

#include "core/IGiveMessageMapToMessageReceiver.h"
#include "core/IServiceBaseImpl.h"
#include "core/ISignalObserver.h"
#include "core/MessageSignalData.h"
#include "core/RequestErrors.h"
#include "core/Signal.h"
#include "core/ZelkorLoggable.h"
#include "driver/ConnectionResult.h"
#include "driver/IServiceSender.h"
#include "services/ICommandInterfaceService.h"

namespace Zelkor {

class ExecCommand;

class CommandInterfaceService : public ISignalObserver<ConnectionResult>,
                                public ISignalObserver<MessageSignalData>,
                                public IServiceBaseImpl<ICommandInterfaceService>,
                                public IGiveMessageMapToMessageReceiver,
                                public ZelkorLoggable {
public:
    static constexpr const char* NotImplemented = "exec is not implemented";
    static constexpr const char* MissingCommand = "Missing command";

    // Without a sender nothing is sent.
    explicit CommandInterfaceService(IServiceSender* sender);
    ~CommandInterfaceService() override;
    CommandInterfaceService(const CommandInterfaceService&) = delete;
    CommandInterfaceService& operator=(const CommandInterfaceService&) = delete;

    // --- ICommandInterfaceService ------------------------------------------------------
    void OnExecNamedParams(NamedHandler handler) override;
    void OnExecOrderedParams(OrderedHandler handler) override;
    void OnExecStrParams(TextHandler handler) override;
    void OnExecNamedConnParams(NamedConnHandler handler) override;
    void OnExecOrderedConnParams(OrderedConnHandler handler) override;
    void OnExecStrConnParams(TextConnHandler handler) override;
    void OnExecResult(ExecResultHandler handler) override;
    void SetRawReplyHandler(void* conn, RawReplyHandler handler) override;
    void SendExecCommand(void* conn, const char* path, const char* command, const OrderedArgs& args,
                         MessageForwardInfo& forward, const std::string& requestid,
                         ExecResultHandler handler) override;
    void SendExecCommand(void* conn, const char* path, const char* command, const NamedArgs& args,
                         MessageForwardInfo& forward, const std::string& requestid,
                         ExecResultHandler handler) override;
    void SendExecCommand(void* conn, const char* path, const char* command, const std::string& args,
                         MessageForwardInfo& forward, const std::string& requestid,
                         ExecResultHandler handler) override;
    void ReplyCancelPutfile(void* conn, const char* error) override;

    // --- controller side -----------------------------------------------------------------
    // Appends an exec handler to the connection's places now (an empty one while a
    // default is set: a copy of the default), for a line the caller sends itself next on
    // the connection; its reply time-out counts from when the connection took a line after
    // those taken at the call (ExpireRequests). Null handle: nothing.
    void SetExecReplyHandler(void* conn, ExecResultHandler handler);
    // A raw "exec" request line (built, header included) with its raw handler: sent on the
    // connection, the handler taking its place once the connection took the line, else
    // answered a turn later as a lost connection answers it. `sent` hears on the loop
    // whether the line was taken. A null handle sends by multicast and keeps no handler.
    void SendRawExecLine(void* conn, std::string line, RawReplyHandler handler,
                         IServiceSender::SendResult sent = nullptr);
    ExecResultHandler OrDefault(ExecResultHandler handler) override;
    // An empty "getpresetinfo" request on the connection.
    void SendGetPresetInfo(void* conn);

    // --- driver side ---------------------------------------------------------------------
    void GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) override;
    // A lost or refused connection: its exec handlers hear kConnectionLost, its raw ones
    // their lines' refusal with kConnectionLost, as it would come in (EndedRequestReply).
    void SignalRaised(ConnectionResult& result) override;
    // An "exec" message: a reply to ProcessExecReply, a request to ProcessExecRequest.
    void SignalRaised(MessageSignalData& data) override;
    Signal<MessageSignalData>& ExecSignal() { return _execSignal; }
    // Device side: answers on the request's connection with its routing header.
    void ProcessExecRequest(MessageSignalData& data);
    // Controller side: the reply to the oldest place of its connection, else the default.
    void ProcessExecReply(MessageSignalData& data);
    // Every "@error" the sender raises comes here. One that answers an "exec"
    // (AnsweredWord) takes that place: an exec handler
    // hears success false with the error's reason as result and the other texts empty, a
    // raw one the error line as it came in. One that answers another word is not ours.
    void ProcessErrorReply(MessageSignalData& data);
    // Loop thread: every place whose line the connection took at `cutoff` or before and
    // still unanswered is answered now as one whose reply timed out (a place queued ahead
    // counts from the first call that finds its line sent): an exec handler hears kTimedOut as the
    // result (path "/", success false), a raw one its line's refusal with it. The place
    // stays for the reply, which, should it still come, goes to nobody.
    void ExpireRequests(std::chrono::steady_clock::time_point cutoff);
    // An "exec" reply the reader refused still takes its place: an exec handler hears
    // success false with the reader's text as result, a raw one the text as it came.
    void UnreadableReply(void* handle, const std::string& text, const std::string& error);

private:
    // One place on a connection: the handler of one request that went out.
    struct Place {
        bool raw = false;
        ExecResultHandler exec;
        RawReplyHandler rawHandler;
        // A raw line as it went out: what answers it when no reply will.
        std::string line;
        // When the connection took the line.
        std::chrono::steady_clock::time_point sentAt{};
        // Queued ahead for a line its caller sends itself: the connection's request count
        // at which that line has gone (IServiceSender::RequestsTaken), until it has; 0 for
        // a line sent, and stamped, here.
        std::uint64_t awaits = 0;
        // Answered at the reply time-out: the place waits for its late reply, which goes
        // to nobody.
        bool timedOut = false;
    };
    // The handler a reply goes to, copied out of the lock.
    struct Chosen {
        ExecResultHandler exec;
        RawReplyHandler raw;
    };

    void sendExec(void* conn, ExecCommand& message, MessageForwardInfo& forward, ExecResultHandler handler);
    // On the loop, in the turn the connection took (or refused) a line.
    void handOver(void* conn, bool taken, Place place);
    void append(void* conn, Place place, const char* exceptionText);
    // Appends a place for a line the caller sends next on the connection itself.
    void queueAhead(void* conn, Place place, const char* exceptionText);
    // Takes the oldest place of the connection (or the default) under the lock.
    Chosen choose(void* handle);
    // The reply to the exec handler, with the outcome read from it.
    static void callExec(const ExecResultHandler& handler, const ExecCommand& reply);
    // Runs the handler the request's arguments choose; false when that form has none.
    bool runHandler(void* conn, const ExecCommand& request, const std::string& path, const std::string& command,
                    bool& success, std::string& result);
    // A place no reply will take: an exec handler hears kConnectionLost as the result (path
    // "/", success false), a raw one the line's refusal with it as it would come in.
    static void callLost(const Place& place, const char* reason = kConnectionLost);

    IServiceSender* _sender;
    Signal<MessageSignalData> _execSignal;
    boost::signals2::connection _resultsConnection;
    boost::signals2::connection _execConnection;
    boost::signals2::connection _errorConnection;

    std::mutex _mutex;
    NamedHandler _named;
    OrderedHandler _ordered;
    TextHandler _text;
    NamedConnHandler _namedConn;
    OrderedConnHandler _orderedConn;
    TextConnHandler _textConn;
    ExecResultHandler _default;
    std::map<void*, std::deque<Place>> _queues;
};

}  // namespace Zelkor
