#pragma once
// Values of a listed device, read and written: "get" and "set" with a container of
// {"path","format","value"} entries. A request with a tag has a callback of its own,
// which names it; one without reaches the device's default handler. Every reply comes as
// a "get" or "set" line: "values" (an entry that failed holds its "error"), "tag", and
// "default" (true when the default handler took it).
//
// Commands: get, set.

#include <string>

#include "Commands.h"
#include "Events.h"
#include "driver/IZelkorDriver.h"
#include "storage/ObjectParamContainer.h"

namespace ZelkorNode {

class Values {
public:
    Values(Zelkor::IZelkorDriver& driver, Events& events);

    // The default reply handlers are the driver's, one for all its devices, but an
    // application reaches them through a device object: registering again with each new
    // device changes nothing, and no device is ever without them.
    void Adopt(Zelkor::IDevice& device);
    void AddCommands(Commands& commands);

private:
    void request(const std::string& name, const Json::Value& command);
    void replyLine(const char* event, const std::string& tag, bool byDefault, const std::string& guid,
                   const Zelkor::ObjectParamContainer& values);

    Zelkor::IZelkorDriver& _driver;
    Events& _events;
};

}  // namespace ZelkorNode
