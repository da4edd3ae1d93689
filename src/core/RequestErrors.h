#pragma once
// The errors a request made with a callback is answered with when its reply never comes:
// one text each, shared by the device objects, the services that keep the places of their
// requests and the router that refuses a request on its way. Peers see some of them on
// the wire ("Device not connected"), so each is written as it stands there.
//
// Constants only; any thread.

namespace Zelkor {

// No connection for the request, the device's own nor its router's (a router answers
// this for a device it cannot reach, and for a notice to a requester gone).
constexpr const char* kDeviceNotConnected = "Device not connected";
// The connection that took the request ended before its reply, or never took it.
constexpr const char* kConnectionLost = "connection lost";
// Unanswered for the reply time-out.
constexpr const char* kTimedOut = "timeout";
// A router refuses a subscription of a requester whose notices it refuses for a time
// (one of them was left unanswered): the first notice would end it at the device.
constexpr const char* kNoticesRefused = "Requester's notices refused for a time";

}  // namespace Zelkor
