#pragma once
// The service of the "exec" command, as the driver hands it to the application.
//
// Device side: a request runs the application's exec handler of its arguments' form
// (named, ordered or text; raw JSON goes to a text handler as compact text), the one that
// also takes the connection first when set. A form without a handler is answered
// "status" "false"; the handler of another form is not tried. The handler's return gives
// the status, the text it fills the result; a handler that throws counts as one that
// returned false.
//
// Controller side: replies carry no request identity, so on each connection they meet the
// requests in the order they went out. Every request the connection took holds one place:
// its exec handler (an empty one sent while a default is set holds a copy of the default
// as it was at the call) or, for a raw "exec" line, its raw handler. A request the
// connection did not take holds no place and its handler is called on the loop as for a
// lost connection. A lost connection calls its waiting exec handlers with path "/", an
// empty command and request id, success false and the result "connection lost", and its
// raw handlers with the "@exec" refusal of their lines carrying that error. An "@error"
// reply that answers an "exec" (it names no word: the connection knows which request was
// in flight) takes its place: the exec handler hears success false, the error's
// "message" as result and the other texts empty; a raw handler the error line as it came
// in. A reply with no place waiting goes to the default handler.
//
// Ownership: the driver's; the application never deletes it. Handlers are copied.
// Threads: any thread. A request's line is built before a send returns and handed to the
// connection on the event loop, where every handler is called, outside every lock of the
// service, so a handler may send again or replace a handler.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/IServiceBase.h"

namespace Zelkor {

class MessageForwardInfo;

class ICommandInterfaceService : public IServiceBase {
public:
    using NamedArgs = std::map<std::string, std::string>;
    using OrderedArgs = std::vector<std::string>;
    // Device side: path, command, arguments, result text to fill; true for success.
    using NamedHandler = std::function<bool(const std::string& path, const std::string& command,
                                            const NamedArgs& args, std::string& result)>;
    using OrderedHandler = std::function<bool(const std::string& path, const std::string& command,
                                              const OrderedArgs& args, std::string& result)>;
    using TextHandler = std::function<bool(const std::string& path, const std::string& command,
                                           const std::string& args, std::string& result)>;
    // The same with the request's connection handle first.
    using NamedConnHandler = std::function<bool(void* conn, const std::string& path, const std::string& command,
                                                const NamedArgs& args, std::string& result)>;
    using OrderedConnHandler = std::function<bool(void* conn, const std::string& path, const std::string& command,
                                                  const OrderedArgs& args, std::string& result)>;
    using TextConnHandler = std::function<bool(void* conn, const std::string& path, const std::string& command,
                                               const std::string& args, std::string& result)>;
    // Controller side: one exec reply. `success` is false for a reply carrying "error"
    // (whose text is then the result) and for a "status" other than "true" (letter case
    // counts); a reply with none of path, command, status, result and request id is a
    // success.
    using ExecResultHandler = std::function<void(const std::string& path, const std::string& command, bool success,
                                                 const std::string& result, const std::string& requestid)>;
    // A raw "exec" line's reply, as the line came in ("@exec" and its JSON body).
    using RawReplyHandler = std::function<void(const std::string& text)>;

    // Device side: each replaces its slot; an empty function clears it.
    virtual void OnExecNamedParams(NamedHandler handler) = 0;
    virtual void OnExecOrderedParams(OrderedHandler handler) = 0;
    virtual void OnExecStrParams(TextHandler handler) = 0;
    virtual void OnExecNamedConnParams(NamedConnHandler handler) = 0;
    virtual void OnExecOrderedConnParams(OrderedConnHandler handler) = 0;
    virtual void OnExecStrConnParams(TextConnHandler handler) = 0;
    // The handler of replies no request claims; one per driver, the last one set serves
    // every connection. Empty clears it.
    virtual void OnExecResult(ExecResultHandler handler) = 0;
    // Appends a raw handler to the connection's places now, for an "exec" line the caller
    // sends itself, after the lines already sent on the connection and before its own
    // (null handle: nothing). The driver's raw commands hand their handler over with the
    // line instead.
    virtual void SetRawReplyHandler(void* conn, RawReplyHandler handler) = 0;
    // An "exec" request with "path", "command", "requestid" (when not empty) and the
    // arguments of the overload's form (when not empty), under the routing header. A null
    // handle sends it by multicast and waits for no reply: the handler is never called.
    virtual void SendExecCommand(void* conn, const char* path, const char* command, const OrderedArgs& args,
                                 MessageForwardInfo& forward, const std::string& requestid,
                                 ExecResultHandler handler) = 0;
    virtual void SendExecCommand(void* conn, const char* path, const char* command, const NamedArgs& args,
                                 MessageForwardInfo& forward, const std::string& requestid,
                                 ExecResultHandler handler) = 0;
    virtual void SendExecCommand(void* conn, const char* path, const char* command, const std::string& args,
                                 MessageForwardInfo& forward, const std::string& requestid,
                                 ExecResultHandler handler) = 0;
    // Answers "cancelputfile" on the connection; an empty or null error is a reply
    // without body.
    virtual void ReplyCancelPutfile(void* conn, const char* error) = 0;
    // `handler`, or when it is empty a copy of the default handler as it is now (empty
    // when none is set): what a request sent with `handler` would hold, and so what
    // hears a request that found no connection to go on.
    virtual ExecResultHandler OrDefault(ExecResultHandler handler) = 0;
};

}  // namespace Zelkor
