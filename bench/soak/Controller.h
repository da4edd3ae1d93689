#pragma once
// One controller node and what it does in the run: it keeps every device connected (a
// direct controller connects by address; one behind the router connects the devices the
// router lists, through it), and while the load runs it checks a value of each device,
// cycles subscriptions to each, and carries files to and from them. It reads its runner's
// lines: "request" and "error" lines acknowledge its commands in order, answer lines close
// them in the ledger (by tag, or first come first served for subscriptions), "device"
// lines tell how it sees each device (one that leaves Connected, and Unresponsive, has
// lost the connection and the subscriptions it carried), and a publish from a device not
// among its own is foreign.
//
// Each incarnation of the node starts with nothing: what the process before it waited for
// is lost with it. Threads: the run's one thread.

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Findings.h"
#include "Ledger.h"
#include "Node.h"
#include "PublishesOwed.h"
#include "Requester.h"
#include "SubscriptionCycle.h"
#include "TransferFlow.h"
#include "ValueChecker.h"

namespace ZelkorSoak {

class Controller : public Requester {
public:
    // `routed`: it reaches the devices through the router named `router`. `targets`: the
    // devices it works with. `checked`: the value it writes on each of them;
    // `subscribable`: those its subscriptions pick from.
    Controller(Node& node, bool routed, std::string router, std::vector<Target> targets, std::string checked,
               std::vector<std::string> subscribable, Ledger& ledger, Findings& findings, PublishesOwed& owed,
               std::mt19937_64& random);

    Node& Process() { return _node; }
    // A new incarnation of the node has started.
    void Started(double now);
    // Its process ended at `now`: whatever it waited for is lost.
    void Ended(double now);
    // The device's process started again.
    void DeviceRestarted(const std::string& guid);
    // Connections always; the load while `loading`.
    void Tick(double now, bool loading);
    // One line of its runner's.
    void Line(const Json::Value& event, const std::string& line, double now);
    // How far its transfer under way has come, in percent.
    std::optional<double> TransferPercent() const;
    // Whether it sees each of its devices Connected.
    bool AllConnected() const;
    // Those of its devices it does not see Connected, each with the state it shows.
    std::string NotConnected() const;

    void Ask(const std::string& cmd, const Target& target, Json::Value command, Answer answer) override;
    bool Connected(const Target& target) const override;
    bool Listed(const Target& target) const override;
    std::string Who() const override;

private:
    // How the controller's last "device" line showed a device.
    struct View {
        std::string state = "None";
        std::string proxy;
        double since = 0;
        // The runner refused a command for it since ("no device G for get"): it left the
        // list without a line saying so.
        bool gone = false;
    };
    struct Waiting {
        Ledger::Id id = 0;
        Answer answer;
    };
    // A command written whose "request", "connect" or "error" line has not come yet.
    struct Ack {
        std::string cmd;
        Ledger::Id id = 0;
        std::string key;
    };

    void keepConnected(double now);
    void deviceLine(const Json::Value& event, double now);
    void acknowledged(const std::string& name, const Json::Value& event, const std::string& line, double now);
    void answered(const std::string& cmd, const std::string& key, const Json::Value& event, const std::string& line,
                  double now);
    const View* viewOf(const Target& target) const;
    std::size_t indexOf(const std::string& guid) const;

    Node& _node;
    const bool _routed;
    const std::string _router;
    const std::vector<Target> _targets;
    const std::string _checked;
    const std::vector<std::string> _subscribable;
    Ledger& _ledger;
    Findings& _findings;
    PublishesOwed& _owed;
    std::mt19937_64& _random;

    double _now = 0;
    std::map<std::string, View> _views;
    std::map<std::string, double> _connectAsked;
    std::deque<Ack> _acks;
    std::map<std::string, std::deque<Waiting>> _waiting;
    unsigned _serial = 0;
    std::vector<std::unique_ptr<ValueChecker>> _checkers;
    std::vector<std::unique_ptr<SubscriptionCycle>> _cycles;
    std::unique_ptr<TransferFlow> _transfers;
};

}  // namespace ZelkorSoak
