#pragma once
// One controller's subscriptions to one device, coming and going: a few of the device's
// values subscribed for a while, then unsubscribed, then another few. What each is owed
// and what came unasked is kept in PublishesOwed: a value counts as subscribed once its
// subscribe is written, until its unsubscribe is answered without an error; a subscribe
// that fails ends it, and so does an unsubscribe that fails ("Device not connected",
// "connection lost"): the connection carrying it was lost, and the subscription with it.
// A subscribe or unsubscribe that timed out leaves it unknown, but one that stood before a
// subscribe stands on. A refusal of the whole request (one entry without a path) is the
// answer of each of its paths.
//
// Subscriptions end with the connection, and nothing subscribes again by itself: once the
// device is Connected again, the ones still wanted are asked for again.

#include <random>
#include <string>
#include <vector>

#include "Findings.h"
#include "PublishesOwed.h"
#include "Requester.h"

namespace ZelkorSoak {

class SubscriptionCycle {
public:
    // `via`: the router the controller reaches the device through (empty: none). `paths`:
    // the device's values a subscription picks from.
    SubscriptionCycle(Requester& controller, const Target& target, std::string via, std::vector<std::string> paths,
                      Findings& findings, PublishesOwed& owed, std::mt19937_64& random);

    void Tick(double now);
    // The device became Connected again.
    void Reconnected();
    // The connection to the device was lost, or the controller's process ended.
    void Lost(double now);
    // A publish line from this device.
    void Publish(const Json::Value& line, double now);

private:
    void ask(const std::string& cmd, double now);
    void answered(bool subscribe, const std::vector<std::string>& paths, const Json::Value* line,
                  const std::string& error, double now);

    Requester& _controller;
    const Target& _target;
    const std::string _via;
    const std::vector<std::string> _paths;
    Findings& _findings;
    PublishesOwed& _owed;
    std::mt19937_64& _random;
    // Whether the subscription of _chosen is wanted now.
    bool _wanted = false;
    bool _askAgain = false;
    std::vector<std::string> _chosen;
    bool _waiting = false;
    unsigned _ticket = 0;
    double _askedAt = 0;
    double _nextTurn = 0;
};

}  // namespace ZelkorSoak
