#pragma once
// A device's file system and firmware, asked by a controller through the device object.
//
// "deletefile", "listfiles", "freespace", "mkdir" and "rmdir" send the word with a path to
// a listed device; "fwupdate" asks it for a firmware update with its arguments. Each is
// told in a "request" line; each answer comes as one line from the device object's
// callback, named after the command, with the device's "guid": "deletefile", "listfiles",
// "freespace", "mkdir", "rmdir" (success, error, and the entries or the bytes), "fwupdate"
// with "reply" true (the device's error text, "" when it took the update) and "firmwareUpdate" (the arguments of
// a "fwupdate" the device itself sent). A request that finds no connection to the device
// (its own or its router's) is not sent: its "request" line says "sent":false and an
// "error" line follows it.
//
// On a device, "holddisk" holds its disk worker for a while, as a long digest would: the
// file-system answers that follow it wait that long, the event loop free (a test seam).
//
// Commands: deletefile, listfiles, freespace, mkdir, rmdir, fwupdate, holddisk.
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

    // A device drops its handlers with its connection, keeping the callbacks: they are
    // registered from the moment it is listed, and again on each change of its state.
    void Attach(Zelkor::IDevice& device);
    void AddCommands(Commands& commands);

private:
    // {"cmd":NAME,"guid":G,"path":P}.
    void pathRequest(const std::string& name, const Json::Value& command);
    // {"cmd":"fwupdate","guid":G,"arguments":A}.
    void firmwareUpdate(const Json::Value& command);
    // {"cmd":"holddisk","ms":N}, N 1 to 3600000.
    void holdDisk(const Json::Value& command);

    Zelkor::IZelkorDriver& _driver;
    Events& _events;
};

}  // namespace ZelkorNode
