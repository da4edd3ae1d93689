#pragma once
// The owner of "get" and "set". On a device it answers a request from the storage: the
// request's entries become a container, the storage fills or applies it, and the filled
// container is the reply, each entry with its own outcome. On a controller it sends the
// application's containers as requests and gives each reply, again as a container, to
// the handler whose request it answers (see IFolderModificationService for the order).
//
// Per connection and kind the service keeps the handlers of the requests that went out,
// in sending order, and the handlers queued ahead for requests still to be sent. An entry
// joins the first only once the connection took the line, in the same loop turn, so a
// request that never reached the wire holds no place: the handler its reply would have
// gone to hears its entries failed a turn later, with kConnectionLost when the connection
// did not take the line, "Too many entries" past the entries bound (no line is made of
// it). A reply the reader refused still takes its place (UnreadableReply), and so does an
// "@error" the connection finds answering a "get" or "set"; the end of the connection
// answers every place it held. Each such handler hears its request's entries, each
// carrying the reader's text, the error's reason or kConnectionLost, and so does one whose
// reply refuses the whole message. With a reply time-out, a request unanswered that long
// hears kTimedOut and keeps its place for the late reply, which then goes to nobody
// (ExpireRequests).
//
// Ownership: made and owned by the driver, which outlives it; the sender is not owned,
// the storage facade is shared. Threads: sends and the handler setters come from any
// thread; requests, replies and connection results on the event loop. One mutex per kind
// guards its queues and default handler; no handler, storage or send runs under it.

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <boost/signals2/connection.hpp>

#include "core/IGiveMessageMapToMessageReceiver.h"
#include "core/IServiceBaseImpl.h"
#include "core/ISignalObserver.h"
#include "core/MessageSignalData.h"
#include "core/Signal.h"
#include "core/ZelkorLoggable.h"
#include "driver/ConnectionResult.h"
#include "services/IFolderModificationService.h"
#include "storage/ObjectParamContainer.h"

class StorageModel;

namespace Zelkor {

class IServiceSender;
class MultiSetGetWorker;

class FolderModificationService : public IServiceBaseImpl<IFolderModificationService>,
                                  public ISignalObserver<MessageSignalData>,
                                  public ISignalObserver<ConnectionResult>,
                                  public IGiveMessageMapToMessageReceiver,
                                  public ZelkorLoggable {
public:
    // The library's version, which every "get" of "/configuration/device/protocolversion"
    // answers whatever the storage holds.
    static constexpr const char* ProtocolVersion = "1.16.1.26";
    static constexpr const char* NoStorage = "No storage layer found";
    static constexpr const char* StorageException = "Exception in storage layer";

    // Either may be null: without sender nothing is sent, without storage every entry of
    // a reply carries NoStorage.
    FolderModificationService(IServiceSender* sender, std::shared_ptr<StorageModel> storage);
    ~FolderModificationService() override;
    FolderModificationService(const FolderModificationService&) = delete;
    FolderModificationService& operator=(const FolderModificationService&) = delete;

    // --- IFolderModificationService --------------------------------------------------
    void AddValue(void* handle, VALUE_TYPE type, const char* path, const char* value, const char* format) override;
    void RemoveValue(void* handle, const char* path) override;
    void SetDefaultGetReplyHandler(ReplyHandler handler) override;
    void SetDefaultSetReplyHandler(ReplyHandler handler) override;
    void SetGetReplyHandler(void* handle, ReplyHandler handler, std::string tag) override;
    void SetSetReplyHandler(void* handle, ReplyHandler handler, std::string tag) override;
    void SendGetValue(void* handle, const char* path, bool flag, const char* format) override;
    void SendSetValue(void* handle, const char* path, const char* value, bool flag, const char* format) override;
    void SendMultiSetValue(void* handle, ObjectParamContainer& values, MessageForwardInfo& header, bool flag) override;
    void SendMultiSetValue(void* handle, ObjectParamContainer& values, MessageForwardInfo& header,
                           ReplyHandler handler, bool flag, std::string tag) override;
    void SendMultiGetValue(void* handle, ObjectParamContainer& values, MessageForwardInfo& header, bool flag) override;
    void SendMultiGetValue(void* handle, ObjectParamContainer& values, MessageForwardInfo& header,
                           ReplyHandler handler, bool flag, std::string tag) override;

    // --- driver side -----------------------------------------------------------------
    void GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) override;
    // A closed or refused connection: the handler of each request it had taken hears the
    // request's entries, each with the error kConnectionLost, in sending order (gets, then
    // sets); a request sent without handler, the default handler as a reply would; a raw
    // command's handler, besides, its line's refusal with kConnectionLost as it would come
    // in (EndedRequestReply). The handlers queued ahead for requests not sent go uncalled.
    void SignalRaised(ConnectionResult& result) override;
    // A reply goes to ProcessGetSetReply, a request to ProcessGetSetValue.
    void SignalRaised(MessageSignalData& data) override;
    Signal<MessageSignalData>& GetValueSignal() { return _get.signal; }
    Signal<MessageSignalData>& SetValueSignal() { return _set.signal; }
    // Device side: answers the request on its connection with the request's routing header.
    void ProcessGetSetValue(MessageSignalData& data);
    // Controller side: the reply's container to the handler whose place it takes. A reply
    // that refuses the whole message (one entry without path that carries an error, as a
    // router answers for a device it cannot reach) gives that error to every entry of the
    // request instead.
    void ProcessGetSetReply(MessageSignalData& data);
    // A "get" or "set" reply whose body the reader refused: it takes its place all the
    // same, and the handler hears the request's entries, each carrying the reader's text;
    // a raw command's handler hears `received` (the line as it came in; the reader's text
    // when that is empty). Other words are ignored.
    void UnreadableReply(void* handle, const std::string& word, const std::string& error,
                         const std::string& received = std::string());
    // Every "@error" the sender raises comes here. One that answers a "get" or "set"
    // (AnsweredWord) takes that request's place: its handler hears the request's entries,
    // each with the error's reason as error; a raw command's handler the error line as it
    // came in. One that answers another word is not ours.
    void ProcessErrorReply(MessageSignalData& data);
    // A raw command's reply handler: the reply's text as it came in.
    using RawReplyHandler = std::function<void(const std::string& text)>;
    // A ready "get" or "set" request line (a raw command) sent as one without handler: its
    // reply goes to the handler queued ahead or the default one, and also to `onReply`
    // (when set) as text. `sent` hears on the loop, after the place is recorded, whether
    // the connection took the line; it is not called for another word or without a sender.
    void SendRequestLine(void* handle, const std::string& word, std::string line, RawReplyHandler onReply = nullptr,
                         std::function<void(bool taken)> sent = nullptr);

    // Loop thread: every request taken at `cutoff` or before and still unanswered is
    // answered now as one whose reply timed out, each entry with kTimedOut (a raw
    // command's handler, its line's refusal with it). Its place stays for the reply,
    // which, should it still come, goes to nobody.
    void ExpireRequests(std::chrono::steady_clock::time_point cutoff);
    void AnswerUnsent(const std::string& word, const ObjectParamContainer& failed) override;

    // The reply's entries from the filled container, "protocolversion" answered as above.
    static bool PopulateReply(MultiSetGetWorker& reply, ObjectParamContainer& container);

private:
    struct Entry {
        std::string tag;
        ReplyHandler handler;
        // Stands for the default handler as it is when the reply comes.
        bool useDefault = false;
        // A raw command's, called with the reply's text besides the handler.
        RawReplyHandler raw;
        // The request line as it went out: what an error or the connection's end answers.
        std::string line;
        // When the connection took the line.
        std::chrono::steady_clock::time_point sentAt;
        // Answered at the reply time-out: the place waits for its late reply, which goes
        // to nobody.
        bool timedOut = false;

        static Entry Of(std::string tag, ReplyHandler handler, bool useDefault = false) {
            Entry entry;
            entry.tag = std::move(tag);
            entry.handler = std::move(handler);
            entry.useDefault = useDefault;
            return entry;
        }
    };
    struct Queues {
        // Requests that went out, oldest first.
        std::deque<Entry> sent;
        // Queued by SetGetReplyHandler/SetSetReplyHandler for requests still to be sent.
        std::deque<Entry> waiting;
    };
    // The log texts of one kind.
    struct Texts {
        const char* word;
        const char* plainBegin;
        const char* plainEnd;
        const char* handlerBegin;
        const char* handlerEnd;
        const char* sendException;
        const char* saved;
        const char* notTaken;
        const char* nullHandler;
        const char* hasHandler;
        const char* defaultHandler;
        const char* noHandler;
        const char* replyException;
        const char* setterException;
        const char* lostException;
    };
    struct Kind {
        explicit Kind(const Texts& t) : texts(t) {}
        const Texts& texts;
        Signal<MessageSignalData> signal;
        boost::signals2::connection connection;
        std::mutex mutex;
        ReplyHandler defaultHandler;
        std::map<void*, Queues> queues;
    };

    // Fills the reply to a received request from the storage.
    void answer(const MultiSetGetWorker& request, bool isSet, MultiSetGetWorker& reply);
    Kind* kindOf(const std::string& word);
    void setDefault(Kind& kind, ReplyHandler handler);
    void queueAhead(Kind& kind, void* handle, ReplyHandler handler, std::string tag);
    // Builds the line on the caller's thread; `entry` empty for a request without handler.
    // A request whose line cannot be made (past the entries bound, or the build threw) is
    // refused, every value failed with the reason.
    void sendMulti(Kind& kind, void* handle, const ObjectParamContainer& values, const MessageForwardInfo* header,
                   bool flag, std::optional<Entry> entry);
    void sendSingle(Kind& kind, void* handle, const char* path, const char* value, bool flag, const char* format);
    void sendLine(Kind& kind, void* handle, std::string line, std::optional<Entry> entry,
                  RawReplyHandler raw = nullptr, std::function<void(bool taken)> sent = nullptr);
    // A request that never went out, answered a turn later on the loop (answerUnsent).
    void refuse(Kind& kind, void* handle, std::optional<Entry> entry, ObjectParamContainer failed);
    // On the loop: `failed` goes where the request's reply would have gone: its handler
    // (an empty one swallows it); sent without one, the handler queued ahead on the
    // connection, which it uses up, else the default handler as it is now.
    void answerUnsent(Kind& kind, void* handle, std::optional<Entry> entry, const ObjectParamContainer& failed);
    // On the loop, once the connection took the line.
    void recordSent(Kind& kind, void* handle, std::optional<Entry> entry, RawReplyHandler raw, std::string line);
    // Takes the handler of the oldest place on the connection and calls it, outside the
    // lock, with the container `build` makes of the place's request line; a raw command's
    // handler with the text `text` makes.
    void deliver(Kind& kind, void* handle, const std::function<ObjectParamContainer(const std::string&)>& build,
                 const std::function<std::string()>& text);

    static const Texts GetTexts;
    static const Texts SetTexts;

    IServiceSender* _sender;
    std::shared_ptr<StorageModel> _storage;
    boost::signals2::connection _resultsConnection;
    boost::signals2::connection _errorConnection;
    Kind _get{GetTexts};
    Kind _set{SetTexts};
};

}  // namespace Zelkor
