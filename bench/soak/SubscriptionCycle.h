#pragma once
// One controller's subscriptions to one device, coming and going: a few of the device's
// values subscribed for a while, then unsubscribed, then another few. Every publish that
// reaches the controller from that device must be of a value it subscribed to; one that is
// not is a foreign publish. A value counts as subscribed from the moment its subscribe is
// written until its unsubscribe is answered without an error; a publish of it in the
// seconds after that answer is counted apart, as late (it may have been on its way).
//
// Subscriptions end with the connection: once the device is Connected again, the ones
// still wanted are asked for again.

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Findings.h"
#include "Requester.h"

namespace ZelkorSoak {

class SubscriptionCycle {
public:
    // `paths`: the device's values a subscription picks from.
    SubscriptionCycle(Requester& controller, const Target& target, std::vector<std::string> paths, Findings& findings,
                      std::mt19937_64& random);

    void Tick(double now);
    // The device became Connected again.
    void Reconnected();
    // A publish line from this device.
    void Publish(const Json::Value& line, double now);

private:
    void ask(const std::string& cmd, double now);

    Requester& _controller;
    const Target& _target;
    const std::vector<std::string> _paths;
    Findings& _findings;
    std::mt19937_64& _random;
    // Whether the subscription of _chosen is wanted now.
    bool _wanted = false;
    bool _askAgain = false;
    std::vector<std::string> _chosen;
    std::set<std::string> _live;
    // When the unsubscribe of each value no longer subscribed was answered.
    std::map<std::string, double> _ended;
    bool _waiting = false;
    unsigned _ticket = 0;
    double _askedAt = 0;
    double _nextTurn = 0;
};

}  // namespace ZelkorSoak
