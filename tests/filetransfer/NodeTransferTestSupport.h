#pragma once
// Node processes that move files through the runner: a controller and device nodes, each
// device with a storage root of its own, in a network namespace of their own when the
// test may make one; the files' contents, their MD5 as md5sum computes it, the names in a
// folder (hidden ones too) and the files a node holds open there; the transfer commands
// and the lines that answer them.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"
#include "support/NodeProcess.h"
#include "support/TempDir.h"

namespace ZelkorTest {

inline const std::string kAmp2 = "0b7e1c44-3f29-4d6a-8e51-9a2c6d0f4e87";

// `size` bytes that differ from one `seed` to another.
std::string RandomBytes(std::size_t size, std::uint32_t seed);
// A file of `size` such bytes, written in pieces (a 50 MB one is not held whole).
void WriteRandomFile(const std::string& path, std::uint64_t size, std::uint32_t seed);
// The MD5 of the file as `md5sum` prints it; "" when it cannot tell.
std::string Md5Sum(const std::string& path);
// Every name in the folder, hidden ones too, sorted.
std::vector<std::string> FolderNames(const std::string& folder);
// What the process holds open in the folder or below it (an unnamed temporary shows as
// "FOLDER/#NUMBER (deleted)").
std::vector<std::string> OpenUnder(pid_t pid, const std::string& folder);

// {"cmd":"sendfile"|"recvfile","device":[GUIDS],"local","remote","tag"[,"blocksize"]}.
std::string TransferCommand(const std::string& cmd, const std::vector<std::string>& devices,
                            const std::string& local, const std::string& remote, const std::string& tag,
                            unsigned long blockSize = 0);
// Whether the line ends a device's part of a transfer command: named after the command,
// "sendfile" or "recvfile" (the command's "request" line is not one).
bool IsDoneLine(const Json::Value& line);
// The line that ends the transfer with that tag.
NodeProcess::Match DoneLine(const std::string& tag);
// Awaits the node's `total`th line that ends a transfer since it started; then every such
// line it wrote, by tag, in the order they came. Missing ones are absent.
std::map<std::string, std::vector<Json::Value>> AwaitDones(NodeProcess& node, std::size_t total,
                                                           std::chrono::milliseconds deadline);
// Every line of `event` the node wrote so far.
std::vector<Json::Value> LinesOf(const NodeProcess& node, const std::string& event);
// Every line that ended a transfer so far.
std::vector<Json::Value> DoneLines(const NodeProcess& node);

// A copy of the sample tree that allows parent paths, written to `dir`; its file name.
std::string TreeAllowingParentPaths(const TempDir& dir);

// A device node named NAME with GUID, serving 127.0.0.1:PORT, its storage root ROOT unless
// `more` names another.
std::vector<std::string> StoringDeviceOptions(const std::string& name, const std::string& guid,
                                              unsigned short port, const std::string& root,
                                              std::vector<std::string> more = {});

// A controller and one device (a second one when asked), connected; the controller's
// queue timer at its shortest, so that queued transfers follow each other quickly.
struct TransferNodes {
    explicit TransferNodes(const std::string& tag, std::vector<std::string> deviceMore = {},
                           std::vector<std::string> controllerMore = {}, bool secondDevice = false);

    // Connects the controller to every device; true once each is connected.
    bool Connect();
    // Starts the first device again (after it was killed), as it was.
    void RestartDevice();

    NodeProcess& Device() { return device->process; }
    NodeProcess& Controller() { return controller.process; }
    std::string DeviceFile(const std::string& name) const { return deviceRoot.File(name); }
    std::string LocalFile(const std::string& name) const { return local.File(name); }

    NetNamespace space;
    std::string place;
    TempDir deviceRoot;
    TempDir secondRoot;
    TempDir local;
    std::vector<std::string> deviceOptions;
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> second;
    Node controller;
};

}  // namespace ZelkorTest
