#pragma once
// The run's own network. Before it lays anything out, the tool moves itself into a new
// network namespace, whose one interface is a loopback of its own, and every node it
// starts inherits it. The discovery requests the router and the controllers broadcast
// then reach the nodes of the run alone: no node of another process on the host hears
// them, answers them, is listed or is connected, and no port of the host is probed or
// taken.
//
// As root (CAP_SYS_ADMIN) it is a network namespace alone; otherwise a user namespace
// holds it, in which the user keeps its own ids, so that the run's files stay its own.
// The process must still be single-threaded.

#include <string>

namespace ZelkorSoak {

// False, with `error`, when no namespace could be made or its loopback brought up.
bool EnterOwnNetwork(std::string& error);

}  // namespace ZelkorSoak
