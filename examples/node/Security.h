#pragma once
// Security and verification codes: the TLS settings of the options, the node's code
// behind the verification-code callback, a line for each security callback
// ("verificationCode", "authenticate", "setcode", "startTLS"), and "security"
// whenever the connection to a listed device becomes secured or authenticated, or stops
// being so, and for each new connection to it.
//
// Commands: setcode, hascode.

#include <chrono>
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
    // "Authentication Failed", when a device refused this node's proof of its code at or
    // after `since` and `device` is such a one: secured, its proof not taken, and known
    // by its endpoint alone. It learns its GUID only from the answer to a taken proof, so
    // it never gives one. Empty otherwise. Loop only.
    std::string RefusedProof(Zelkor::IDevice& device, std::chrono::steady_clock::time_point since);
    // The same for a refusal the device gave unchecked ("Too many failed attempts": its
    // address failed before and waits), which the library tries again later.
    std::string RefusedUnchecked(Zelkor::IDevice& device, std::chrono::steady_clock::time_point since);

private:
    bool verificationCode(Zelkor::VerificationCode::Operation operation, std::string& code);
    void setCode(const Json::Value& command);
    std::string unproven(Zelkor::IDevice& device, std::chrono::steady_clock::time_point since,
                         const std::string& refusal, std::chrono::steady_clock::time_point at);

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
    // The last refusal of this node's proof by a device, and when it came (loop only).
    std::string _refusal;
    std::chrono::steady_clock::time_point _refusedAt{};
    // The last refusal given unchecked, and when (loop only).
    std::string _unchecked;
    std::chrono::steady_clock::time_point _uncheckedAt{};
};

}  // namespace ZelkorNode
