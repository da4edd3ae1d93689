#pragma once
// Security and verification codes: the TLS settings of the options, the node's code
// behind the verification-code callback, a line for each security callback
// ("verificationCode", "authenticate", "setcode", "startTLS"), and "security"
// whenever the connection to a listed device becomes secured or authenticated, or stops
// being so, and for each new connection to it.
//
// Commands: setcode, hascode.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Commands.h"
#include "Events.h"
#include "Options.h"
#include "discovery/IDiscoveryService.h"
#include "driver/IZelkorDriver.h"

namespace Zelkor {
class TcpSocket;
}

namespace ZelkorNode {

class Security {
public:
    Security(Zelkor::IZelkorDriver& driver, const Options& options, Events& events);

    // After the driver's InitDiscovery; before anything is served.
    void Configure();
    // A device this node has just come to know proves the node's --code; a code set later
    // through "setcode" is the device object's to keep.
    void Adopt(Zelkor::IDevice& device);
    void AddCommands(Commands& commands);
    // On the loop, with the discovery's look: the "security" lines.
    void Look();

private:
    bool verificationCode(Zelkor::VerificationCode::Operation operation, std::string& code);
    void setCode(const Json::Value& command);

    Zelkor::IZelkorDriver& _driver;
    const Options& _options;
    Events& _events;
    // The code behind the callback; read and stored on the loop, read by look-ups from
    // any thread.
    std::mutex _codeMutex;
    std::string _code;
    // The last "security" line of each listed device with a connection, and that
    // connection: a new one is told of even when no look saw the device without one
    // (loop only).
    struct Told {
        Json::Value fields;
        std::weak_ptr<Zelkor::TcpSocket> connection;
    };
    std::map<const Zelkor::IDevice*, Told> _security;
};

}  // namespace ZelkorNode
