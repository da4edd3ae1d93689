#pragma once
// Who runs in a soak run, where, and with what options:
//   dev1             a device, plain;
//   dev2-tls         a device holding the verification code, asking for TLS;
//   router           a router holding the code, reaching both devices by static routes
//                    over plain connections;
//   ctl1             a controller, plain, connecting both devices;
//   ctl2-tls         a controller asking for TLS and proving the code, connecting
//                    dev2-tls alone;
//   ctl3-routed      a controller, plain, reaching both devices through the router;
//   ctl4-routed-tls  the same over TLS, proving the code to the router.
// A node that asks for TLS proves its one code to every device it connects, and a device
// refuses the proof of any code but its own (none, for dev1): hence who holds the code
// and who connects what. Every node serves 127.0.0.1 alone (the run's own loopback, see
// OwnNetwork.h), on a port free when the run is laid out, below the range the system
// hands out to outgoing connections (so that a connection made while a node is down never
// takes its port) and never the discovery port 4197 (where the discovery requests the
// router and the controllers broadcast would reach it, and the topology would no longer
// be the one laid out here).

#include <string>
#include <vector>

#include "Node.h"

namespace ZelkorSoak {

struct ControllerPlan {
    NodeSpec spec;
    // Its devices, by their place in Topology::devices.
    std::vector<std::size_t> devices;
    bool routed = false;
};

struct Topology {
    std::vector<NodeSpec> devices;
    NodeSpec router;
    std::vector<ControllerPlan> controllers;
    // The devices' parameter tree, as a file's text: what names a node, and the values of
    // the run (/soak/beat, which the device writes every second, and /soak/cN, which only
    // controller N sets).
    std::string tree;
    // Paths of the devices' tree and of the router's (the runner's own), for the fuzz.
    std::vector<std::string> treePaths;
};

// The run laid out: ports and GUIDs drawn and each node's options written, for the
// devices' tree to be written at `treeFile` and each node to run in `runDir`/NAME (a
// device's storage root is its "files" folder there). With `fuzz`, the devices and the
// router alone, the devices' tree with a part of every kind of value for the fuzz to
// work on (/fuzz). False, with `error`, when no free port is found.
bool LayOut(const std::string& runDir, const std::string& treeFile, bool fuzz, Topology& topology,
            std::string& error);

// The name of the router, as the controllers behind it see it in their device lines.
extern const char* const kRouterName;
// The verification code of the nodes that hold one.
extern const char* const kCode;
// The value controller `index` (0 for the first) sets on its devices.
std::string CheckedPath(std::size_t index);

}  // namespace ZelkorSoak
