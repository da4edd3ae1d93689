#include "services/ListCommandRouter.h"

#include <boost/algorithm/string/predicate.hpp>

#include "core/ErrorReply.h"
#include "core/MessageForwardInfo.h"
#include "driver/IServiceSender.h"
#include "services/ListCommand.h"
#include "services/ListCommandDiscovered.h"
#include "services/ListPresets.h"
#include "services/ListPublishers.h"

namespace Zelkor {

ListCommandRouter::ListCommandRouter(IServiceSender* sender) : _sender(sender) {
    _messageSignalMap.SetMessageSignalFactory(MessageSignalFactory("list", &_signal, CreateListCommand));
    _connection = _signal += this;
}

ListCommandRouter::~ListCommandRouter() { _signal -= _connection; }

void ListCommandRouter::AddRoute(const char* option, ISignalObserver<MessageSignalData>* observer) {
    if (option && observer) {
        _routes[option] = observer;
    }
}

void ListCommandRouter::GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) {
    _messageSignalMap.GiveTo(receiver);
}

void ListCommandRouter::SignalRaised(MessageSignalData& data) {
    Message* message = data.GetMessage();
    if (!message || !boost::algorithm::iequals(message->CommandName(), "list")) {
        return;
    }
    const auto* list = dynamic_cast<const ListCommand*>(message);
    const std::string& text = list ? list->GetJson() : message->GetRawText();
    std::string option;
    if (!message->GetParameter(Param::command) && message->GetIsReply() && isDiscoveredReply(*message, text)) {
        option = ListCommand::Discovered;
    } else if (!ValidateParam(data, Param::command)) {
        return;
    } else {
        option = message->GetParamValue(Param::command);
    }
    const auto route = _routes.find(option);
    if (route == _routes.end()) {
        SendError(data, "Unrecognized list option.");
        return;
    }
    std::unique_ptr<Message> routed = MakeOptionMessage(option);
    if (!routed) {
        return;
    }
    routed->SetIsReply(message->GetIsReply());
    if (message->GetIsReply()) {
        // A body the option's message refuses still reaches the service with what was read.
        std::string error;
        routed->FromNetworkFormat(false, text, error);
    } else {
        PopulateParams(routed.get(), data, option.c_str());
    }
    // The service answers with the header it is given: without the incoming one, a
    // device behind a router would answer to nobody.
    routed->SetMessageForwardInfo(message->GetMessageForwardInfo());
    data.ReplaceCommand(std::move(routed));
    route->second->SignalRaised(data);
}

bool ListCommandRouter::ValidateParam(MessageSignalData& data, Param p) {
    if (p == Param::unknown) {
        return false;
    }
    Message* message = data.GetMessage();
    if (message && message->GetParameter(p)) {
        return true;
    }
    SendError(data, (std::string(Message::GetStringFromParam(p)) + " missing").c_str());
    return false;
}

void ListCommandRouter::SendError(MessageSignalData& data, const char* text) {
    // A reply is never answered with an error.
    const Message* message = data.GetMessage();
    if (!_sender || !message || message->GetIsReply()) {
        return;
    }
    // Back along the request's route, its hash kept, so that a requester behind a router
    // gets it and a repeated request is answered from the reply cache.
    MessageForwardInfo header = message->GetMessageForwardInfo();
    header.ReversePaths();
    ErrorReply reply;
    reply.SetParameter(Param::message, text);
    reply.SetMessageForwardInfo(header);
    _sender->SendReply(data.Handle(), reply.Build(false), header.hasHash ? header.HashText() : std::string(), "list");
}

void ListCommandRouter::PopulateParams(Message* target, const MessageSignalData& data, const char* option) {
    const Message* source = data.GetMessage();
    if (!target || !option || !source) {
        return;
    }
    target->SetParameter(Param::command, option);
    for (const auto& parameter : source->GetParameters()) {
        if (parameter.ParameterName() != Param::command) {
            target->SetParameter(parameter.ParameterName(), parameter.ParameterValue(0));
        }
    }
}

std::unique_ptr<Message> ListCommandRouter::MakeOptionMessage(const std::string& option) {
    if (boost::algorithm::iequals(option, ListCommand::Discovered)) {
        return std::make_unique<ListCommandDiscovered>();
    }
    if (boost::algorithm::iequals(option, ListPublishers::Option)) {
        return std::make_unique<ListPublishers>();
    }
    if (boost::algorithm::iequals(option, ListPresets::Option)) {
        return std::make_unique<ListPresets>();
    }
    return nullptr;
}

bool ListCommandRouter::isDiscoveredReply(const Message& message, const std::string& text) {
    Json::Value body;
    std::string error;
    return message.ParseJson(text, body, error) && ListCommand::IsDiscoveredReply(false, body);
}

}  // namespace Zelkor
