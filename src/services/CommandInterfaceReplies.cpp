// The controller side of "exec": requests sent, the places of the lines each connection
// took, and the replies and lost connections that use those places up.

#include <algorithm>
#include <exception>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include "core/ErrorReply.h"
#include "services/CommandInterfaceService.h"
#include "services/EndedRequest.h"
#include "services/ExecMessages.h"

namespace Zelkor {

namespace {

// The connection's tag in log lines: the last four characters of its address.
std::string tagOf(const void* handle) {
    std::ostringstream text;
    text << "0000" << handle;
    const std::string full = text.str();
    return full.substr(full.size() - 4);
}

std::string textOf(const Message& message, Param p) {
    const char* text = message.GetParameter(p);
    return text ? std::string(text) : std::string();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Sending

void CommandInterfaceService::SendExecCommand(void* conn, const char* path, const char* command,
                                              const OrderedArgs& args, MessageForwardInfo& forward,
                                              const std::string& requestid, ExecResultHandler handler) {
    ExecCommand message;
    if (!args.empty()) {
        message.SetParms(args);
    }
    message.SetJsonParameter(Param::requestid, requestid.empty() ? Json::Value() : Json::Value(requestid));
    message.SetJsonParameter(Param::path, Json::Value(path ? path : ""));
    message.SetJsonParameter(Param::command, Json::Value(command ? command : ""));
    sendExec(conn, message, forward, std::move(handler));
}

void CommandInterfaceService::SendExecCommand(void* conn, const char* path, const char* command,
                                              const NamedArgs& args, MessageForwardInfo& forward,
                                              const std::string& requestid, ExecResultHandler handler) {
    ExecCommand message;
    if (!args.empty()) {
        message.SetParms(args);
    }
    message.SetJsonParameter(Param::requestid, requestid.empty() ? Json::Value() : Json::Value(requestid));
    message.SetJsonParameter(Param::path, Json::Value(path ? path : ""));
    message.SetJsonParameter(Param::command, Json::Value(command ? command : ""));
    sendExec(conn, message, forward, std::move(handler));
}

void CommandInterfaceService::SendExecCommand(void* conn, const char* path, const char* command,
                                              const std::string& args, MessageForwardInfo& forward,
                                              const std::string& requestid, ExecResultHandler handler) {
    ExecCommand message;
    // Kept as the text it is: the device's text handler gets back what was given.
    message.GetStrParms() = args;
    message.SetJsonParameter(Param::requestid, requestid.empty() ? Json::Value() : Json::Value(requestid));
    message.SetJsonParameter(Param::path, Json::Value(path ? path : ""));
    message.SetJsonParameter(Param::command, Json::Value(command ? command : ""));
    sendExec(conn, message, forward, std::move(handler));
}

void CommandInterfaceService::sendExec(void* conn, ExecCommand& message, MessageForwardInfo& forward,
                                       ExecResultHandler handler) {
    if (!_sender) {
        return;
    }
    message.SetMessageForwardInfo(forward);
    std::string line = message.Build(true);
    if (!conn) {
        // A multicast has no connection to answer on: no place is kept.
        _sender->SendRequest(nullptr, std::move(line), nullptr);
        return;
    }
    handler = OrDefault(std::move(handler));
    Place place{false, std::move(handler), nullptr, std::string()};
    _sender->SendRequest(conn, std::move(line), [this, conn, place = std::move(place)](bool taken) mutable {
        handOver(conn, taken, std::move(place));
    });
}

void CommandInterfaceService::SendRawExecLine(void* conn, std::string line, RawReplyHandler handler,
                                              IServiceSender::SendResult sent) {
    if (!_sender) {
        return;
    }
    if (!conn) {
        _sender->SendRequest(nullptr, std::move(line), std::move(sent));
        return;
    }
    // The place keeps the line: what ends the request unanswered answers it as its peer
    // would have refused it.
    Place place{true, nullptr, std::move(handler), line};
    _sender->SendRequest(conn, std::move(line),
                         [this, conn, place = std::move(place), sent = std::move(sent)](bool taken) mutable {
                             handOver(conn, taken, std::move(place));
                             if (sent) {
                                 sent(taken);
                             }
                         });
}

CommandInterfaceService::ExecResultHandler CommandInterfaceService::OrDefault(ExecResultHandler handler) {
    if (!handler) {
        std::lock_guard<std::mutex> lock(_mutex);
        handler = _default;
    }
    return handler;
}

void CommandInterfaceService::handOver(void* conn, bool taken, Place place) {
    if (taken) {
        place.sentAt = std::chrono::steady_clock::now();
        const char* failure =
            place.raw ? "ZK5701W Exception accessing reply handlers" : "ZK5702W Exception accessing reply handlers";
        append(conn, std::move(place), failure);
        return;
    }
    Warning("ZK5713W Exec request not taken by connection", tagOf(conn));
    // Never sent, never answered: the handler hears it now, as for a lost connection.
    callLost(place);
}

// ---------------------------------------------------------------------------------------
// Places

void CommandInterfaceService::SetExecReplyHandler(void* conn, ExecResultHandler handler) {
    if (conn) {
        queueAhead(conn, Place{false, OrDefault(std::move(handler)), nullptr, std::string()},
                   "ZK5702W Exception accessing reply handlers");
    }
}

void CommandInterfaceService::SetRawReplyHandler(void* conn, RawReplyHandler handler) {
    if (conn) {
        queueAhead(conn, Place{true, nullptr, std::move(handler), std::string()},
                   "ZK5701W Exception accessing reply handlers");
    }
}

void CommandInterfaceService::queueAhead(void* conn, Place place, const char* exceptionText) {
    // Read before the lock: the count is the connection's, behind a lock of its own.
    const std::uint64_t taken = _sender ? _sender->RequestsTaken(conn) : 0;
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        try {
            auto& places = _queues[conn];
            // Its line goes after those of the places queued ahead before it.
            std::uint64_t after = taken;
            for (const Place& ahead : places) {
                after = std::max(after, ahead.awaits);
            }
            place.awaits = after + 1;
            places.push_back(std::move(place));
            return;
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    Warning(exceptionText, failure);
}

void CommandInterfaceService::append(void* conn, Place place, const char* exceptionText) {
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        try {
            _queues[conn].push_back(std::move(place));
            return;
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    Warning(exceptionText, failure);
}

// ---------------------------------------------------------------------------------------
// Replies

CommandInterfaceService::Chosen CommandInterfaceService::choose(void* handle) {
    Chosen chosen;
    const char* note = nullptr;
    bool warning = false;
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        try {
            const auto found = _queues.find(handle);
            if (found != _queues.end() && !found->second.empty()) {
                Place place = std::move(found->second.front());
                found->second.pop_front();
                if (found->second.empty()) {
                    _queues.erase(found);
                }
                if (place.timedOut) {
                    note = "ZK5715I Exec reply after its time-out dropped";
                } else if (!place.raw && place.exec) {
                    chosen.exec = std::move(place.exec);
                } else if (place.raw && place.rawHandler) {
                    note = "ZK5705I Exec reply has raw handler";
                    chosen.raw = std::move(place.rawHandler);
                } else if (_default) {
                    note = place.raw ? "ZK5707I Exec reply has default handler" : "ZK5709I Exec reply has default handler";
                    chosen.exec = _default;
                } else {
                    note = place.raw ? "ZK5706W Exec reply has no handler" : "ZK5708W Exec reply has null handler";
                    warning = true;
                }
            } else if (_default) {
                note = "ZK5704I Exec reply has default handler";
                chosen.exec = _default;
            } else {
                note = "ZK5703W Exec reply has no handler";
                warning = true;
            }
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    if (!failure.empty()) {
        Warning("ZK5710W Exception accessing reply handlers", failure);
    } else if (note) {
        Log(warning ? 2 : 3, note);
    }
    return chosen;
}

void CommandInterfaceService::ProcessExecReply(MessageSignalData& data) {
    const auto* reply = dynamic_cast<const ExecCommand*>(data.GetMessage());
    if (!reply) {
        return;
    }
    const Chosen chosen = choose(data.Handle());
    if (chosen.exec) {
        callExec(chosen.exec, *reply);
    } else if (chosen.raw) {
        const std::string& received = reply->GetRawText();
        chosen.raw(received.empty() ? reply->ToNetworkFormat(false) : received);
    }
}

void CommandInterfaceService::ProcessErrorReply(MessageSignalData& data) {
    const auto* reply = dynamic_cast<const ErrorReply*>(data.GetMessage());
    if (!reply || !_sender || _sender->AnsweredWord(data.Handle()) != "exec") {
        return;
    }
    const Chosen chosen = choose(data.Handle());
    if (chosen.exec) {
        chosen.exec(std::string(), std::string(), false, reply->Reason(), std::string());
    } else if (chosen.raw) {
        const std::string& received = reply->GetRawText();
        chosen.raw(received.empty() ? reply->ToNetworkFormat(false) : received);
    }
}

void CommandInterfaceService::UnreadableReply(void* handle, const std::string& text, const std::string& error) {
    PeerWarning(Join("ZK5714W Unreadable exec reply on connection ", [handle] { return tagOf(handle); }), error);
    const Chosen chosen = choose(handle);
    if (chosen.exec) {
        chosen.exec(std::string(), std::string(), false, error, std::string());
    } else if (chosen.raw) {
        chosen.raw(text);
    }
}

void CommandInterfaceService::callExec(const ExecResultHandler& handler, const ExecCommand& reply) {
    const std::string path = textOf(reply, Param::path);
    const std::string command = textOf(reply, Param::command);
    const std::string requestid = textOf(reply, Param::requestid);
    const std::string error = textOf(reply, Param::error);
    if (!error.empty()) {
        // A refusal (the device's, a router's or the driver's on the way) is no success,
        // whatever else the reply says.
        handler(path, command, false, error, requestid);
        return;
    }
    const std::string status = textOf(reply, Param::status);
    const std::string result = textOf(reply, Param::result);
    const bool empty = path.empty() && command.empty() && status.empty() && result.empty() && requestid.empty();
    handler(path, command, empty || status == "true", result, requestid);
}

void CommandInterfaceService::callLost(const Place& place, const char* reason) {
    if (!place.raw && place.exec) {
        place.exec("/", std::string(), false, reason, std::string());
    } else if (place.raw && place.rawHandler) {
        place.rawHandler(EndedRequestText(place.line, reason));
    }
}

void CommandInterfaceService::ExpireRequests(std::chrono::steady_clock::time_point cutoff) {
    // The request counts of the connections with places queued ahead, read outside the
    // lock: a place's time starts once its line has gone.
    std::map<void*, std::uint64_t> taken;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (const auto& [conn, places] : _queues) {
            for (const Place& place : places) {
                if (place.awaits != 0) {
                    taken.emplace(conn, 0);
                    break;
                }
            }
        }
    }
    for (auto& [conn, count] : taken) {
        count = _sender ? _sender->RequestsTaken(conn) : 0;
    }
    const auto now = std::chrono::steady_clock::now();
    std::vector<Place> expired;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (auto& [conn, places] : _queues) {
            for (Place& place : places) {
                if (place.awaits != 0) {
                    const auto count = taken.find(conn);
                    if (count == taken.end() || count->second < place.awaits) {
                        continue;
                    }
                    place.awaits = 0;
                    place.sentAt = now;
                }
                if (place.timedOut || place.sentAt > cutoff) {
                    continue;
                }
                place.timedOut = true;
                Place answer{place.raw, std::move(place.exec), std::move(place.rawHandler), std::move(place.line)};
                expired.push_back(std::move(answer));
            }
        }
    }
    for (const Place& place : expired) {
        callLost(place, kTimedOut);
    }
}

// ---------------------------------------------------------------------------------------
// Lost connections

void CommandInterfaceService::SignalRaised(ConnectionResult& result) {
    if (result.connected) {
        return;
    }
    std::deque<Place> lost;
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        try {
            const auto found = _queues.find(result.handle);
            if (found != _queues.end()) {
                lost = std::move(found->second);
                _queues.erase(found);
            }
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    if (!failure.empty()) {
        Warning("ZK5700W Exception accessing reply handlers", failure);
        return;
    }
    for (const Place& place : lost) {
        if (!place.timedOut) {
            callLost(place);
        }
    }
}

}  // namespace Zelkor
