#pragma once
// Files between nodes.
//
// A controller puts a file to one or more listed devices ("sendfile") and fetches one from
// them ("recvfile"), block by block, through the library's transfer queue; each device of
// each command ends with one line named after the command (its tag, the device's guid,
// success and text), and both sides tell the progress in "progress" lines (this node's
// file, the peer's, bytes done). Both go through the device object of each
// listed device named; its progress callback is registered once a device is listed and
// again on each change of its state.
// "cancelput" cancels the active puts to a device of a remote path (the transfer
// service's own cancel); "cancelsend" asks the device to cancel the put this node makes
// to it (the device object's). Every node tells the library's put and get reports (a
// transfer's beginning, end or failure, answered here or opened here) in "transfer"
// lines, each naming the same files from the beginning to the end, a failure an end.
//
// The options --storage-root (or the folder made in its place), --host-fs-words,
// --block-size, --transfer-count and --transfer-interval go to the transfer service,
// --reply-timeout to the discovery service, which the transfers read it from.
//
// Commands: sendfile, recvfile, cancelput, cancelsend.
//
// Threads: commands run on the event loop; the library calls the handlers and the done
// callbacks there too, never within the command's own call, and every line is written
// whole under the events' lock.

#include <string>
#include <vector>

#include <json/value.h>

#include "Commands.h"
#include "Events.h"
#include "Options.h"
#include "TransferFlows.h"
#include "device/IDevice.h"
#include "driver/IZelkorDriver.h"

namespace ZelkorNode {

class Transfers {
public:
    Transfers(Zelkor::IZelkorDriver& driver, const Options& options, Events& events);

    // After InitFileTransfer and InitDiscovery: the settings and the report lines.
    void Configure();
    void AddCommands(Commands& commands);
    // The device object's progress callback, registered once the device is listed and
    // again on each change of its state.
    void Attach(Zelkor::IDevice& device);

private:
    // "sendfile" (a put) or "recvfile" (a get).
    void transfer(const std::string& name, const Json::Value& command, bool put);
    void cancelPut(const Json::Value& command);
    void cancelSend(const Json::Value& command);
    // The "progress" line writer, the same on both sides.
    Zelkor::IDevice::ProgressCallback progressLine();
    // The canonical GUIDs of "device": one text or a non-empty list of texts. False when
    // any is no GUID.
    static bool readDevices(const Json::Value& value, std::vector<std::string>& out);
    void reportLine(bool put, const std::string& path, const std::string& state, const std::string& length,
                    const std::string& blocksize, const std::string& checksum, const std::string& error,
                    bool peerFailed);

    Zelkor::IZelkorDriver& _driver;
    const Options& _options;
    Events& _events;
    TransferFlows _flows;
};

}  // namespace ZelkorNode
