#pragma once
// A device's file system and firmware, asked by a controller through the device object.
//
// "deletefile", "listfiles", "freespace", "mkdir" and "rmdir" send the word with a path to
// a listed device; "fwupdate" asks it for a firmware update with its arguments. Each is
// told in a "request" line; each answer comes as one line from the device object's
// callback, named after the command, with the device's "guid": "deletefile", "listfiles",
// "freespace", "mkdir", "rmdir" (success, error, and the entries or the bytes), "fwupdate"
// with "reply" true (the device's error text, "" when it took the update) and "firmwareUpdate" (the arguments of
// a "fwupdate" the device itself sent). The callbacks are registered again each time a
// device becomes Connected: a disconnection cuts what feeds them.
//
// Commands: deletefile, listfiles, freespace, mkdir, rmdir, fwupdate.
//
// Threads: commands and callbacks run on the event loop.

#include <string>

#include <json/value.h>

#include "Commands.h"
#include "Events.h"
#include "device/IDevice.h"
#include "driver/IZelkorDriver.h"

namespace ZelkorNode {

class DeviceFiles {
public:
    DeviceFiles(Zelkor::IZelkorDriver& driver, Events& events);

    void Connected(Zelkor::IDevice& device);
    void AddCommands(Commands& commands);

private:
    // {"cmd":NAME,"guid":G,"path":P}.
    void pathRequest(const std::string& name, const Json::Value& command);
    // {"cmd":"fwupdate","guid":G,"arguments":A}.
    void firmwareUpdate(const Json::Value& command);

    Zelkor::IZelkorDriver& _driver;
    Events& _events;
};

}  // namespace ZelkorNode
