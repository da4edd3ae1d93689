#include "services/FolderModificationService.h"

#include <exception>
#include <sstream>
#include <utility>
#include <vector>

#include "core/ErrorReply.h"
#include "core/RequestErrors.h"
#include "driver/IServiceSender.h"
#include "services/EndedRequest.h"
#include "services/FailedValues.h"
#include "services/FolderLookup.h"
#include "services/MultiGetValue.h"
#include "services/MultiSetValue.h"
#include "storage/RequestBound.h"
#include "storage/StorageModel.h"

namespace Zelkor {

namespace {

const char* const kDevicePath = "/configuration/device";
const char* const kProtocolVersionName = "protocolversion";

// The connection's tag in log lines: the last four characters of its address.
std::string tagOf(const void* handle) {
    std::ostringstream text;
    text << "0000" << handle;
    const std::string full = text.str();
    return full.substr(full.size() - 4);
}

// A failure of the storage as a whole is every entry's outcome: the reply body carries
// entries only, so an error anywhere else would let a "set" read as done.
void giveEveryPair(ObjectParamContainer& container, const std::string& error) {
    for (const auto& path : container.GetContainerNames()) {
        for (auto& value : *container.GetContainers(path)) {
            for (const auto& name : value.GetContainerNames()) {
                for (auto& pair : *value.GetContainer(name)) {
                    pair.error = error;
                }
            }
        }
    }
}

// A reply whose one entry names no path but carries an error: the peer, or a router on
// the way, refused the message as a whole.
bool refusesWhole(const MultiSetGetWorker& reply, std::string& error) {
    if (reply.EntryCount() != 1) {
        return false;
    }
    const auto& [key, entries] = *reply.GetValues().begin();
    const MultiValueEntry& entry = entries.front();
    const char* path = entry.Path();
    const char* text = entry.Error();
    if (!key.empty() || (path && *path) || !text || !*text) {
        return false;
    }
    error = text;
    return true;
}

}  // namespace

const FolderModificationService::Texts FolderModificationService::GetTexts = {
    "get",
    "ZK6331I SendMultiGetValue begin",
    "ZK6332I SendMultiGetValue end",
    "ZK6333I SendMultiGetValue begin",
    "ZK6336I SendMultiGetValue end",
    "ZK6334W Exception accessing connection handlers",
    "ZK6335I Get request handler (",
    "ZK6337W Get request not taken by connection",
    "ZK6309W Get reply has null handler",
    "ZK6310I Get reply has handler",
    "ZK6308I Get reply has default handler",
    "ZK6307W Get reply has no handler",
    "ZK6311W Exception accessing get reply handlers",
    "ZK6323W Exception access get reply handlers",
    "ZK6300W Exception accessing get reply handlers",
};

const FolderModificationService::Texts FolderModificationService::SetTexts = {
    "set",
    "ZK6325I SendMultiSetValue begin",
    "ZK6326I SendMultiSetValue end",
    "ZK6327I SendMultiSetValue begin",
    "ZK6330I SendMultiSetValue end",
    "ZK6328W Exception accessing connection handlers",
    "ZK6329I Set request handler (",
    "ZK6338W Set request not taken by connection",
    "ZK6304W Set reply has null handler",
    "ZK6305I Set reply has handler",
    "ZK6303I Set reply has default handler",
    "ZK6302W Set reply has no handler",
    "ZK6306W Exception accessing set reply handlers",
    "ZK6324W Exception access set reply handlers",
    "ZK6301W Exception accessing set reply handlers",
};

FolderModificationService::FolderModificationService(IServiceSender* sender, std::shared_ptr<StorageModel> storage)
    : ZelkorLoggable("FMOD"), _sender(sender), _storage(std::move(storage)) {
    _messageSignalMap.SetMessageSignalFactory(MessageSignalFactory("get", &_get.signal, CreateGetValue));
    _messageSignalMap.SetMessageSignalFactory(MessageSignalFactory("set", &_set.signal, CreateSetValue));
    if (_sender) {
        _resultsConnection = _sender->ConnectionResults() += static_cast<ISignalObserver<ConnectionResult>*>(this);
    }
    _get.connection = _get.signal += static_cast<ISignalObserver<MessageSignalData>*>(this);
    _set.connection = _set.signal += static_cast<ISignalObserver<MessageSignalData>*>(this);
    if (Signal<MessageSignalData>* errors = _sender ? _sender->ErrorReplies() : nullptr) {
        _errorConnection = errors->Connect([this](MessageSignalData& data) { ProcessErrorReply(data); });
    }
}

FolderModificationService::~FolderModificationService() {
    _errorConnection.disconnect();
    _get.signal -= _get.connection;
    _set.signal -= _set.connection;
    if (_sender) {
        _sender->ConnectionResults() -= _resultsConnection;
    }
}

FolderModificationService::Kind* FolderModificationService::kindOf(const std::string& word) {
    if (word == "get") {
        return &_get;
    }
    return word == "set" ? &_set : nullptr;
}

void FolderModificationService::AddValue(void* /*handle*/, VALUE_TYPE /*type*/, const char* /*path*/,
                                         const char* /*value*/, const char* /*format*/) {}

void FolderModificationService::RemoveValue(void* /*handle*/, const char* /*path*/) {}

void FolderModificationService::GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) {
    _messageSignalMap.GiveTo(receiver);
}

// ---------------------------------------------------------------------------------------
// Handlers

void FolderModificationService::setDefault(Kind& kind, ReplyHandler handler) {
    std::lock_guard<std::mutex> lock(kind.mutex);
    kind.defaultHandler = std::move(handler);
}

void FolderModificationService::SetDefaultGetReplyHandler(ReplyHandler handler) { setDefault(_get, std::move(handler)); }

void FolderModificationService::SetDefaultSetReplyHandler(ReplyHandler handler) { setDefault(_set, std::move(handler)); }

void FolderModificationService::queueAhead(Kind& kind, void* handle, ReplyHandler handler, std::string tag) {
    if (!handle) {
        return;
    }
    std::lock_guard<std::mutex> lock(kind.mutex);
    try {
        if (!handler && kind.defaultHandler) {
            handler = kind.defaultHandler;
        }
        kind.queues[handle].waiting.push_back(Entry::Of(std::move(tag), std::move(handler)));
    } catch (const std::exception& error) {
        Warning(kind.texts.setterException, error.what());
    }
}

void FolderModificationService::SetGetReplyHandler(void* handle, ReplyHandler handler, std::string tag) {
    queueAhead(_get, handle, std::move(handler), std::move(tag));
}

void FolderModificationService::SetSetReplyHandler(void* handle, ReplyHandler handler, std::string tag) {
    queueAhead(_set, handle, std::move(handler), std::move(tag));
}

// ---------------------------------------------------------------------------------------
// Sending

void FolderModificationService::SendMultiGetValue(void* handle, ObjectParamContainer& values,
                                                  MessageForwardInfo& header, bool flag) {
    sendMulti(_get, handle, values, &header, flag, std::nullopt);
}

void FolderModificationService::SendMultiGetValue(void* handle, ObjectParamContainer& values,
                                                  MessageForwardInfo& header, ReplyHandler handler, bool flag,
                                                  std::string tag) {
    sendMulti(_get, handle, values, &header, flag, Entry::Of(std::move(tag), std::move(handler)));
}

void FolderModificationService::SendMultiSetValue(void* handle, ObjectParamContainer& values,
                                                  MessageForwardInfo& header, bool flag) {
    sendMulti(_set, handle, values, &header, flag, std::nullopt);
}

void FolderModificationService::SendMultiSetValue(void* handle, ObjectParamContainer& values,
                                                  MessageForwardInfo& header, ReplyHandler handler, bool flag,
                                                  std::string tag) {
    sendMulti(_set, handle, values, &header, flag, Entry::Of(std::move(tag), std::move(handler)));
}

void FolderModificationService::SendGetValue(void* handle, const char* path, bool flag, const char* format) {
    if (path) {
        sendSingle(_get, handle, path, "", flag, format);
    }
}

void FolderModificationService::SendSetValue(void* handle, const char* path, const char* value, bool flag,
                                             const char* format) {
    if (path && value) {
        sendSingle(_set, handle, path, value, flag, format);
    }
}

void FolderModificationService::SendRequestLine(void* handle, const std::string& word, std::string line,
                                                RawReplyHandler onReply, std::function<void(bool taken)> sent) {
    if (Kind* kind = kindOf(word)) {
        sendLine(*kind, handle, std::move(line), std::nullopt, std::move(onReply), std::move(sent));
    }
}

void FolderModificationService::sendMulti(Kind& kind, void* handle, const ObjectParamContainer& values,
                                          const MessageForwardInfo* header, bool flag, std::optional<Entry> entry) {
    const bool withHandler = entry.has_value();
    Trace(withHandler ? kind.texts.handlerBegin : kind.texts.plainBegin);
    if (!_sender) {
        return;
    }
    std::string line;
    // The answer of a request whose line cannot be made: none once it is built.
    std::optional<ObjectParamContainer> failed;
    try {
        std::unique_ptr<MultiSetGetWorker> message;
        if (&kind == &_set) {
            message = std::make_unique<MultiSetValue>(flag);
        } else {
            message = std::make_unique<MultiGetValue>(flag);
        }
        if (!FolderLookup::ProcessObjectsIntoWorkerMessage(flag, *message, values)) {
            // A request cut at the entries bound would read as answered in full.
            Warning(std::string("ZK6339W ") + kind.texts.word + " request exceeds the entries bound, not sent");
            failed = FailedValues(kind.texts.word, values, kTooManyEntries);
        } else {
            if (header) {
                message->SetMessageForwardInfo(*header);
            }
            line = message->Build(true);
        }
    } catch (const std::exception& error) {
        Warning(kind.texts.sendException, error.what());
        failed = FailedValues(kind.texts.word, std::string(), error.what());
    }
    if (failed) {
        refuse(kind, handle, std::move(entry), std::move(*failed));
        return;
    }
    sendLine(kind, handle, std::move(line), std::move(entry));
    Detail(withHandler ? kind.texts.handlerEnd : kind.texts.plainEnd);
}

void FolderModificationService::sendSingle(Kind& kind, void* handle, const char* path, const char* value, bool flag,
                                           const char* format) {
    if (!_sender) {
        return;
    }
    std::string line;
    try {
        std::unique_ptr<MultiSetGetWorker> message;
        if (&kind == &_set) {
            message = std::make_unique<MultiSetValue>(flag);
        } else {
            message = std::make_unique<MultiGetValue>(flag);
        }
        message->AddValue(path, value, format, nullptr, false);
        line = message->Build(true);
    } catch (const std::exception& error) {
        Warning(kind.texts.sendException, error.what());
        refuse(kind, handle, std::nullopt, FailedValues(kind.texts.word, std::string(), error.what()));
        return;
    }
    sendLine(kind, handle, std::move(line), std::nullopt);
}

void FolderModificationService::sendLine(Kind& kind, void* handle, std::string line, std::optional<Entry> entry,
                                         RawReplyHandler raw, std::function<void(bool taken)> sent) {
    if (!_sender) {
        return;
    }
    // The place keeps the line: what ends the request unanswered answers its entries.
    std::string kept = line;
    _sender->SendRequest(handle, std::move(line), [this, &kind, handle, entry = std::move(entry), raw = std::move(raw),
                                                   sent = std::move(sent), kept = std::move(kept)](bool taken) mutable {
        if (!taken) {
            Warning(kind.texts.notTaken, tagOf(handle));
            answerUnsent(kind, handle, std::move(entry), FailedValues(kind.texts.word, kept, kConnectionLost));
            if (raw) {
                raw(EndedRequestText(kept, kConnectionLost));
            }
        } else {
            recordSent(kind, handle, std::move(entry), std::move(raw), std::move(kept));
        }
        // After the place is recorded, so that what the caller records now stands in the
        // order of the lines, as the place does.
        if (sent) {
            sent(taken);
        }
    });
}

void FolderModificationService::ExpireRequests(std::chrono::steady_clock::time_point cutoff) {
    for (Kind* kind : {&_get, &_set}) {
        // What the expired places answer, taken under the lock and answered after it.
        struct Expired {
            ReplyHandler handler;
            RawReplyHandler raw;
            std::string line;
        };
        std::vector<Expired> expired;
        {
            std::lock_guard<std::mutex> lock(kind->mutex);
            for (auto& [handle, queues] : kind->queues) {
                for (Entry& entry : queues.sent) {
                    if (entry.timedOut || entry.sentAt > cutoff) {
                        continue;
                    }
                    entry.timedOut = true;
                    Expired answer;
                    answer.handler = entry.useDefault ? kind->defaultHandler : std::move(entry.handler);
                    answer.raw = std::move(entry.raw);
                    answer.line = std::move(entry.line);
                    expired.push_back(std::move(answer));
                }
            }
        }
        for (const auto& answer : expired) {
            if (answer.handler) {
                answer.handler(FailedValues(kind->texts.word, answer.line, kTimedOut));
            }
            if (answer.raw) {
                answer.raw(EndedRequestText(answer.line, kTimedOut));
            }
        }
    }
}

void FolderModificationService::AnswerUnsent(const std::string& word, const ObjectParamContainer& failed) {
    Kind* kind = kindOf(word);
    if (!kind) {
        return;
    }
    ReplyHandler handler;
    {
        std::lock_guard<std::mutex> lock(kind->mutex);
        handler = kind->defaultHandler;
    }
    if (handler) {
        handler(failed);
    }
}

void FolderModificationService::refuse(Kind& kind, void* handle, std::optional<Entry> entry,
                                       ObjectParamContainer failed) {
    _sender->AnswerLater([this, &kind, handle, entry = std::move(entry), failed = std::move(failed)]() mutable {
        answerUnsent(kind, handle, std::move(entry), failed);
    });
}

void FolderModificationService::answerUnsent(Kind& kind, void* handle, std::optional<Entry> entry,
                                             const ObjectParamContainer& failed) {
    ReplyHandler handler;
    {
        std::lock_guard<std::mutex> lock(kind.mutex);
        try {
            if (!entry) {
                // Sent without a handler, it would have taken the one queued ahead.
                const auto found = kind.queues.find(handle);
                if (found != kind.queues.end() && !found->second.waiting.empty()) {
                    entry = std::move(found->second.waiting.front());
                    found->second.waiting.pop_front();
                }
            }
            // A handler sent or queued empty swallows the answer, as it would the reply.
            if (!entry || entry->useDefault) {
                handler = kind.defaultHandler;
            } else {
                handler = std::move(entry->handler);
            }
        } catch (const std::exception& error) {
            Warning(kind.texts.replyException, error.what());
            return;
        }
    }
    if (handler) {
        handler(failed);
    }
}

void FolderModificationService::recordSent(Kind& kind, void* handle, std::optional<Entry> entry,
                                           RawReplyHandler raw, std::string line) {
    std::string saved;
    {
        std::lock_guard<std::mutex> lock(kind.mutex);
        try {
            Queues& queues = kind.queues[handle];
            if (entry) {
                saved = entry->tag;
                queues.sent.push_back(std::move(*entry));
            } else if (!queues.waiting.empty()) {
                queues.sent.push_back(std::move(queues.waiting.front()));
                queues.waiting.pop_front();
            } else {
                queues.sent.push_back(Entry::Of(std::string(), nullptr, true));
            }
            queues.sent.back().raw = std::move(raw);
            queues.sent.back().line = std::move(line);
            queues.sent.back().sentAt = std::chrono::steady_clock::now();
        } catch (const std::exception& error) {
            Warning(kind.texts.sendException, error.what());
            return;
        }
    }
    if (entry && LogLevel() >= 5) {
        Detail(kind.texts.saved + saved + ") saved for connection " + tagOf(handle));
    }
}

// ---------------------------------------------------------------------------------------
// Receiving

void FolderModificationService::SignalRaised(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message) {
        return;
    }
    if (message->GetIsReply()) {
        ProcessGetSetReply(data);
    } else {
        ProcessGetSetValue(data);
    }
}

void FolderModificationService::SignalRaised(ConnectionResult& result) {
    if (result.connected) {
        return;
    }
    for (Kind* kind : {&_get, &_set}) {
        std::deque<Entry> lost;
        ReplyHandler fallback;
        {
            std::lock_guard<std::mutex> lock(kind->mutex);
            try {
                const auto found = kind->queues.find(result.handle);
                if (found != kind->queues.end()) {
                    lost = std::move(found->second.sent);
                    kind->queues.erase(found);
                }
                fallback = kind->defaultHandler;
            } catch (const std::exception& error) {
                Warning(kind->texts.lostException, error.what());
                continue;
            }
        }
        // Outside the lock, in sending order: a handler may send again (on another
        // connection).
        for (const Entry& entry : lost) {
            if (entry.timedOut) {
                continue;
            }
            const ReplyHandler& handler = entry.useDefault ? fallback : entry.handler;
            if (handler) {
                handler(FailedValues(kind->texts.word, entry.line, kConnectionLost));
            }
            if (entry.raw) {
                entry.raw(EndedRequestText(entry.line, kConnectionLost));
            }
        }
    }
}

void FolderModificationService::ProcessErrorReply(MessageSignalData& data) {
    const auto* reply = dynamic_cast<const ErrorReply*>(data.GetMessage());
    if (!reply || !_sender) {
        return;
    }
    Kind* kind = kindOf(_sender->AnsweredWord(data.Handle()));
    if (!kind) {
        return;
    }
    const std::string reason = reply->Reason();
    deliver(
        *kind, data.Handle(),
        [kind, &reason](const std::string& line) { return FailedValues(kind->texts.word, line, reason); },
        [reply] {
            const std::string& received = reply->GetRawText();
            return received.empty() ? reply->ToNetworkFormat(false) : received;
        });
}

bool FolderModificationService::PopulateReply(MultiSetGetWorker& reply, ObjectParamContainer& container) {
    if (auto* values = container.GetContainers(kDevicePath)) {
        for (auto& value : *values) {
            if (auto* pairs = value.GetContainer(kProtocolVersionName)) {
                for (auto& pair : *pairs) {
                    pair.value = Json::Value(ProtocolVersion);
                }
            }
        }
    }
    return FolderLookup::ProcessObjectsIntoWorkerMessage(false, reply, container);
}

void FolderModificationService::answer(const MultiSetGetWorker& request, bool isSet, MultiSetGetWorker& reply) {
    // The container lives here alone: it is gone before the reply is written and sent, so
    // that a request of many entries never holds both at once.
    ObjectParamContainer container;
    FolderLookup::BuildObjects(request.GetValues(), container, isSet);
    // A facade without a storage behind it would answer nothing and leave every entry
    // as it came: a "set" would read as done.
    const bool hasStorage = _storage && _storage->GetStorage();
    std::string failure;
    if (!hasStorage) {
        failure = NoStorage;
    } else {
        try {
            if (isSet) {
                Trace("ZK6316I Calling SetObjectsParameters");
                _storage->SetObjectsParameters(container);
                Trace("ZK6317I Returned from SetObjectsParameters");
            } else {
                Trace("ZK6319I Calling GetObjectsParameters");
                _storage->GetObjectsParameters(container, true);
                Trace("ZK6320I Returned from GetObjectsParameters");
            }
        } catch (const std::exception& error) {
            Error(isSet ? "ZK6318E SetObjectsParameters error" : "ZK6321E GetObjectsParameters error", error.what());
            failure = StorageException;
        } catch (...) {
            Error(isSet ? "ZK6318E SetObjectsParameters error" : "ZK6321E GetObjectsParameters error");
            failure = StorageException;
        }
    }
    if (!failure.empty()) {
        giveEveryPair(container, failure);
    }
    if (!PopulateReply(reply, container)) {
        Warning(std::string("ZK6340W ") + request.CommandName() + " reply cut at the entries bound");
    }
}

void FolderModificationService::ProcessGetSetValue(MessageSignalData& data) {
    Trace("ZK6313I ProcessGetSetValue begin");
    const auto* request = dynamic_cast<const MultiSetGetWorker*>(data.GetMessage());
    if (!request) {
        Error("ZK6314E No message structure found");
        return;
    }
    if (!_sender) {
        Error("ZK6315E No _sender in folder modification service");
        return;
    }
    const bool isSet = std::string(request->CommandName()) == "set";
    std::unique_ptr<MultiSetGetWorker> reply;
    if (isSet) {
        reply = std::make_unique<MultiSetValue>(true);
    } else {
        reply = std::make_unique<MultiGetValue>(true);
    }
    answer(*request, isSet, *reply);
    reply->SetMessageForwardInfo(request->GetMessageForwardInfo());
    reply->SetIsReply(true);
    _sender->BuildAndSendMessage(data.Handle(), *reply, false);
    Detail("ZK6322I ProcessGetSetValue end");
}

void FolderModificationService::ProcessGetSetReply(MessageSignalData& data) {
    const auto* reply = dynamic_cast<const MultiSetGetWorker*>(data.GetMessage());
    if (!reply) {
        return;
    }
    Kind* kind = kindOf(reply->CommandName());
    if (!kind) {
        return;
    }
    deliver(
        *kind, data.Handle(),
        [kind, reply](const std::string& line) {
            // A refusal of the whole message (a router's "Device not connected", say)
            // names no entry: it is the outcome of every entry the request asked about.
            std::string refusal;
            if (refusesWhole(*reply, refusal)) {
                return FailedValues(kind->texts.word, line, refusal);
            }
            ObjectParamContainer container;
            FolderLookup::BuildObjects(reply->GetValues(), container, true);
            return container;
        },
        [reply] {
            const std::string& received = reply->GetRawText();
            return received.empty() ? reply->ToNetworkFormat(false) : received;
        });
}

void FolderModificationService::UnreadableReply(void* handle, const std::string& word, const std::string& error,
                                                const std::string& received) {
    Kind* kind = kindOf(word);
    if (!kind) {
        return;
    }
    Warning(std::string("ZK6341W Unreadable ") + word + " reply on connection " + tagOf(handle), error);
    deliver(
        *kind, handle, [kind, &error](const std::string& line) { return FailedValues(kind->texts.word, line, error); },
        [&] { return received.empty() ? error : received; });
}

void FolderModificationService::deliver(Kind& kind, void* handle,
                                        const std::function<ObjectParamContainer(const std::string&)>& build,
                                        const std::function<std::string()>& text) {
    ReplyHandler handler;
    RawReplyHandler raw;
    std::string tag;
    std::string line;
    {
        std::lock_guard<std::mutex> lock(kind.mutex);
        try {
            std::optional<Entry> entry;
            const auto found = kind.queues.find(handle);
            if (found != kind.queues.end()) {
                // A request sent around the service (none took a handler queued ahead)
                // leaves its reply to the oldest handler queued ahead.
                auto& queue = found->second.sent.empty() ? found->second.waiting : found->second.sent;
                if (!queue.empty()) {
                    entry = std::move(queue.front());
                    queue.pop_front();
                }
            }
            if (entry && entry->timedOut) {
                Info(std::string("ZK6342I ") + kind.texts.word + " reply after its time-out dropped on connection " +
                     tagOf(handle));
                return;
            }
            if (entry) {
                raw = std::move(entry->raw);
                line = std::move(entry->line);
            }
            if (entry && !entry->useDefault) {
                if (entry->handler) {
                    Detail(kind.texts.hasHandler);
                    handler = std::move(entry->handler);
                    tag = std::move(entry->tag);
                } else {
                    Warning(kind.texts.nullHandler);
                }
            } else if (kind.defaultHandler) {
                Detail(kind.texts.defaultHandler);
                handler = kind.defaultHandler;
            } else {
                Warning(kind.texts.noHandler);
            }
        } catch (const std::exception& error) {
            Warning(kind.texts.replyException, error.what());
            return;
        }
    }
    if (handler) {
        if (LogLevel() >= 5) {
            Detail(std::string("ZK6312I ") + kind.texts.word + " request handler (" + tag +
                   ") called for connection " + tagOf(handle));
        }
        handler(build(line));
    }
    if (raw) {
        raw(text());
    }
}

}  // namespace Zelkor
