#pragma once
// The service of "get" and "set" of many values, as the driver hands it to the
// application: requests built from a container and sent on a connection, their replies
// given back as containers to the handler sent with the request, else to the default
// handler of that kind.
//
// Replies carry no request identity: on each connection they meet the handlers in the
// order the requests went out, oldest first. Every request that went out has its place
// in that order: one sent with a handler holds that handler; one sent without takes a
// handler queued before by SetGetReplyHandler/SetSetReplyHandler, else stands for the
// default handler as it is when its reply comes. A request the connection did not take
// holds no place: the handler its reply would have gone to hears every entry failed with
// "connection lost", on the loop; so does one past the entries bound (MaxEntriesPerMessage,
// never sent) with "Too many entries". A handler sent or queued empty swallows its reply,
// and its failure alike. An "@error" reply that answers a request (it names no word: the
// connection knows which request was in flight) takes its place, and the place's handler
// hears the request's entries, each with the error's "message" as its error; so does a
// reply that refuses the whole message (one entry without path that carries an error, as
// a router refuses a request for a device it cannot reach). A lost connection answers each
// place it held alike, each entry with the error "connection lost", in sending order; the
// handlers queued ahead for requests not yet sent go uncalled.
//
// Ownership: the driver's; the application never deletes it. Handlers are copied.
// Threads: any thread. The container is read and the line built before a send returns;
// the line is handed to the connection on the event loop, where handlers are called,
// outside every lock of the service, so a handler may send again.

#include <functional>
#include <string>

#include "core/IServiceBase.h"

namespace Zelkor {

class MessageForwardInfo;
class ObjectParamContainer;

class IFolderModificationService : public IServiceBase {
public:
    using ReplyHandler = std::function<void(const ObjectParamContainer&)>;
    // Accepted by AddValue, used nowhere.
    enum VALUE_TYPE { VALUE_STRING, VALUE_NUMBER, VALUE_BOOLEAN, VALUE_JSON };

    // Do nothing.
    virtual void AddValue(void* handle, VALUE_TYPE type, const char* path, const char* value, const char* format) = 0;
    virtual void RemoveValue(void* handle, const char* path) = 0;
    // The handlers of replies that no request claims; the last one set serves every
    // connection.
    virtual void SetDefaultGetReplyHandler(ReplyHandler handler) = 0;
    virtual void SetDefaultSetReplyHandler(ReplyHandler handler) = 0;
    // Queue a handler for the next request of that kind sent without one on the
    // connection (or, when no such request goes out, the next reply that finds no handler
    // of a request). Empty while a default is set: a copy of the default. Null handle:
    // nothing. The tag names the handler in log lines.
    virtual void SetGetReplyHandler(void* handle, ReplyHandler handler, std::string tag) = 0;
    virtual void SetSetReplyHandler(void* handle, ReplyHandler handler, std::string tag) = 0;
    // One path (and value): a request without routing header and without handler.
    virtual void SendGetValue(void* handle, const char* path, bool flag, const char* format) = 0;
    virtual void SendSetValue(void* handle, const char* path, const char* value, bool flag, const char* format) = 0;
    // The container's pairs as one request with the routing header; without handler, or
    // with one and a tag. The flag goes to the message's constructor.
    virtual void SendMultiSetValue(void* handle, ObjectParamContainer& values, MessageForwardInfo& header,
                                   bool flag) = 0;
    virtual void SendMultiSetValue(void* handle, ObjectParamContainer& values, MessageForwardInfo& header,
                                   ReplyHandler handler, bool flag, std::string tag) = 0;
    virtual void SendMultiGetValue(void* handle, ObjectParamContainer& values, MessageForwardInfo& header,
                                   bool flag) = 0;
    virtual void SendMultiGetValue(void* handle, ObjectParamContainer& values, MessageForwardInfo& header,
                                   ReplyHandler handler, bool flag, std::string tag) = 0;
    // A request of `word` ("get" or "set") sent without handler that found no connection
    // to go on, answered by its caller on the loop: the default handler as it is now hears
    // `failed`.
    virtual void AnswerUnsent(const std::string& word, const ObjectParamContainer& failed) = 0;
};

}  // namespace Zelkor
