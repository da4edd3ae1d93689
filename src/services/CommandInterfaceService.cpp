// The command interface's set-up, its handler slots and the device side of "exec".

#include "services/CommandInterfaceService.h"

#include <exception>
#include <utility>

#include "core/JsonText.h"
#include "filetransfer/CancelPutFile.h"
#include "services/DeviceStateMessages.h"
#include "services/ExecMessages.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

std::string textOf(const Message& message, Param p) {
    const char* text = message.GetParameter(p);
    return text ? std::string(text) : std::string();
}

// Stored as a string whatever it looks like: the writer decides what travels as JSON.
void setText(Message& message, Param p, const std::string& text) { message.SetJsonParameter(p, Json::Value(text)); }

}  // namespace

CommandInterfaceService::CommandInterfaceService(IServiceSender* sender) : ZelkorLoggable("CMDS"), _sender(sender) {
    _messageSignalMap.SetMessageSignalFactory(MessageSignalFactory("exec", &_execSignal, CreateExecCommand));
    if (_sender) {
        _resultsConnection = _sender->ConnectionResults() += static_cast<ISignalObserver<ConnectionResult>*>(this);
    }
    _execConnection = _execSignal += static_cast<ISignalObserver<MessageSignalData>*>(this);
    if (Signal<MessageSignalData>* errors = _sender ? _sender->ErrorReplies() : nullptr) {
        _errorConnection = errors->Connect([this](MessageSignalData& data) { ProcessErrorReply(data); });
    }
}

CommandInterfaceService::~CommandInterfaceService() {
    _execSignal -= _execConnection;
    _errorConnection.disconnect();
    if (_sender) {
        _sender->ConnectionResults() -= _resultsConnection;
    }
}

void CommandInterfaceService::GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) {
    _messageSignalMap.GiveTo(receiver);
}

// ---------------------------------------------------------------------------------------
// Handler slots

void CommandInterfaceService::OnExecNamedParams(NamedHandler handler) {
    std::lock_guard<std::mutex> lock(_mutex);
    _named = std::move(handler);
}

void CommandInterfaceService::OnExecOrderedParams(OrderedHandler handler) {
    std::lock_guard<std::mutex> lock(_mutex);
    _ordered = std::move(handler);
}

void CommandInterfaceService::OnExecStrParams(TextHandler handler) {
    std::lock_guard<std::mutex> lock(_mutex);
    _text = std::move(handler);
}

void CommandInterfaceService::OnExecNamedConnParams(NamedConnHandler handler) {
    std::lock_guard<std::mutex> lock(_mutex);
    _namedConn = std::move(handler);
}

void CommandInterfaceService::OnExecOrderedConnParams(OrderedConnHandler handler) {
    std::lock_guard<std::mutex> lock(_mutex);
    _orderedConn = std::move(handler);
}

void CommandInterfaceService::OnExecStrConnParams(TextConnHandler handler) {
    std::lock_guard<std::mutex> lock(_mutex);
    _textConn = std::move(handler);
}

void CommandInterfaceService::OnExecResult(ExecResultHandler handler) {
    std::lock_guard<std::mutex> lock(_mutex);
    _default = std::move(handler);
}

// ---------------------------------------------------------------------------------------
// Device side

void CommandInterfaceService::SignalRaised(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message) {
        return;
    }
    if (message->GetIsReply()) {
        ProcessExecReply(data);
    } else {
        ProcessExecRequest(data);
    }
}

void CommandInterfaceService::ProcessExecRequest(MessageSignalData& data) {
    const auto* request = dynamic_cast<const ExecCommand*>(data.GetMessage());
    if (!request) {
        return;
    }
    bool anyHandler = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        anyHandler = _named || _ordered || _text || _namedConn || _orderedConn || _textConn;
    }
    ExecCommand reply;
    const std::string command = textOf(*request, Param::command);
    if (!anyHandler) {
        setText(reply, Param::error, NotImplemented);
    } else if (command.empty()) {
        setText(reply, Param::error, MissingCommand);
    } else {
        if (command == "load" && data.IsReliable() && data.Socket() && data.Socket()->SocketIsOpen()) {
            PeerInfo("ZK5711I Exec command (load) received from", data.Socket()->GetRemoteIP());
        }
        const std::string path = textOf(*request, Param::path);
        setText(reply, Param::command, command);
        setText(reply, Param::path, path);
        setText(reply, Param::requestid, textOf(*request, Param::requestid));
        bool success = false;
        std::string result;
        runHandler(data.Handle(), *request, path, command, success, result);
        setText(reply, Param::status, success ? "true" : "false");
        if (!result.empty()) {
            setText(reply, Param::result, result);
        }
    }
    reply.SetMessageForwardInfo(request->GetMessageForwardInfo());
    reply.SetIsReply(true);
    if (_sender) {
        _sender->BuildAndSendMessage(data.Handle(), reply, false);
    }
}

bool CommandInterfaceService::runHandler(void* conn, const ExecCommand& request, const std::string& path,
                                         const std::string& command, bool& success, std::string& result) {
    enum class Form { named, ordered, text, none };
    const auto& named = request.GetNamedParms();
    const auto& ordered = request.GetOrderedParms();
    std::string text = request.GetStrParms();
    Form form = Form::none;
    if (!named.empty()) {
        form = Form::named;
    } else if (!ordered.empty()) {
        form = Form::ordered;
    } else if (!text.empty()) {
        form = Form::text;
    } else if (!request.GetJsonParms().isNull()) {
        form = Form::text;
        text = WriteCompactJson(request.GetJsonParms());
    }

    // The chosen slots are copied so that none runs under the lock: a handler may replace
    // a handler.
    NamedConnHandler namedConn;
    NamedHandler namedPlain;
    OrderedConnHandler orderedConn;
    OrderedHandler orderedPlain;
    TextConnHandler textConn;
    TextHandler textPlain;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const bool all = form == Form::none;
        if (form == Form::named || all) {
            namedConn = _namedConn;
            namedPlain = _named;
        }
        if (form == Form::ordered || all) {
            orderedConn = _orderedConn;
            orderedPlain = _ordered;
        }
        if (form == Form::text || all) {
            textConn = _textConn;
            textPlain = _text;
        }
    }
    const NamedArgs noNamed;
    const OrderedArgs noOrdered;
    try {
        if (namedConn) {
            success = namedConn(conn, path, command, form == Form::none ? noNamed : named, result);
        } else if (namedPlain) {
            success = namedPlain(path, command, form == Form::none ? noNamed : named, result);
        } else if (orderedConn) {
            success = orderedConn(conn, path, command, form == Form::none ? noOrdered : ordered, result);
        } else if (orderedPlain) {
            success = orderedPlain(path, command, form == Form::none ? noOrdered : ordered, result);
        } else if (textConn) {
            success = textConn(conn, path, command, text, result);
        } else if (textPlain) {
            success = textPlain(path, command, text, result);
        } else {
            success = false;
            return false;
        }
    } catch (const std::exception& error) {
        Error("ZK5712E Exception in exec handler for command " + command, error.what());
        success = false;
        result.clear();
    } catch (...) {
        Error("ZK5712E Exception in exec handler for command " + command);
        success = false;
        result.clear();
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Other senders

void CommandInterfaceService::ReplyCancelPutfile(void* conn, const char* error) {
    if (!_sender) {
        return;
    }
    cancelPutFile reply;
    if (error && *error) {
        setText(reply, Param::error, error);
    }
    reply.SetIsReply(true);
    _sender->BuildAndSendMessage(conn, reply, false);
}

void CommandInterfaceService::SendGetPresetInfo(void* conn) {
    if (!_sender) {
        return;
    }
    GetPreset request;
    _sender->BuildAndSendMessage(conn, request, true);
}

}  // namespace Zelkor
