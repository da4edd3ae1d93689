#pragma once
// The owner of the word "list": every list message reaches it, is turned into the
// message of its option ("command": "discovered", "publishers", "presets") and handed to
// the service registered for that option.
//
// Ownership: made and owned by the driver, whose sender interface it uses; the route observers are
// not owned and outlive the router (the driver owns them). Threads: routes are added
// while the driver is set up; messages arrive on the event-loop thread.

#include <map>
#include <memory>
#include <string>

#include <boost/signals2/connection.hpp>

#include "core/IGiveMessageMapToMessageReceiver.h"
#include "core/ISignalObserver.h"
#include "core/MessageSignalData.h"
#include "core/MessageSignalMap.h"
#include "core/Param.h"
#include "core/Signal.h"

namespace Zelkor {

class IServiceSender;

class ListCommandRouter : public IGiveMessageMapToMessageReceiver, public ISignalObserver<MessageSignalData> {
public:
    explicit ListCommandRouter(IServiceSender* sender);
    ~ListCommandRouter() override;
    ListCommandRouter(const ListCommandRouter&) = delete;
    ListCommandRouter& operator=(const ListCommandRouter&) = delete;

    // Lists with this option (compared with letter case) go to the observer; a second
    // route for an option replaces the first. Null arguments add nothing.
    void AddRoute(const char* option, ISignalObserver<MessageSignalData>* observer);
    void GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) override;
    // Hands a routed list, as the message of its option, to the option's observer; the
    // message keeps the incoming one's routing header, sender hash included.
    void SignalRaised(MessageSignalData& data) override;

    // True when the message holds the parameter; otherwise answers "<name> missing"
    // (nothing for a name outside the vocabulary) and gives false.
    bool ValidateParam(MessageSignalData& data, Param p);
    // An error reply with "message" = text to the request's sender: with the request's
    // routing header and sender hash in reply form, recorded for the request's duplicates
    // under "list"; over UDP one datagram to the sender. Nothing when the data holds a
    // reply.
    void SendError(MessageSignalData& data, const char* text);
    // Sets the target's "command" to the option and copies every other parameter of the
    // incoming message that the target declares.
    static void PopulateParams(Message* target, const MessageSignalData& data, const char* option);

private:
    // The message of an option whose class exists; null for the others.
    static std::unique_ptr<Message> MakeOptionMessage(const std::string& option);
    // A reply without "command" whose body (in `text`) carries "endpoints": a node's answer
    // to "discovered", which is written so.
    static bool isDiscoveredReply(const Message& message, const std::string& text);

    IServiceSender* _sender;
    Signal<MessageSignalData> _signal;
    boost::signals2::connection _connection;
    MessageSignalMap _messageSignalMap;
    std::map<std::string, ISignalObserver<MessageSignalData>*> _routes;
};

}  // namespace Zelkor
