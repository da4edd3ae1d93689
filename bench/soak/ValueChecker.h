#pragma once
// Checked sets and gets of one value of one device by one controller: a set of a new text,
// then a few gets, each read checked against what the device may hold. Only this
// controller writes the value, so what it may hold is known: the text of the last set
// answered as a success, or any of those sent since whose answer was an error or never
// came (they may have landed), or the empty text once the device has restarted (its tree
// starts over). Until a first set succeeds (a controller restarted does not know what its
// earlier process left) the reads are not checked.
//
// One request at a time; a request unanswered for a while is left to the ledger and the
// checks go on.

#include <set>
#include <string>

#include "Findings.h"
#include "PublishesOwed.h"
#include "Requester.h"

namespace ZelkorSoak {

class ValueChecker {
public:
    // Each set that succeeds is a change of the value that its subscribers are owed.
    ValueChecker(Requester& controller, const Target& target, std::string path, Findings& findings,
                 PublishesOwed& owed);

    void Tick(double now);
    // The device's process started again: its tree holds its first values.
    void DeviceRestarted();

private:
    void set(double now);
    void get(double now);
    // Makes the request; its answer reaches `answered` unless the checks went on meanwhile.
    void ask(const std::string& cmd, const Json::Value& entry, double now,
             void (ValueChecker::*answered)(const Json::Value*, const std::string&, double));
    void setAnswered(const Json::Value* line, const std::string& error, double now);
    void getAnswered(const Json::Value* line, const std::string& error, double now);
    void wrong(const std::string& what, const Json::Value& line, double now);
    // The value of this checker's path in a get or set answer; false when it holds none.
    bool valueIn(const Json::Value& line, std::string& value) const;
    std::string expected() const;

    Requester& _controller;
    const Target& _target;
    const std::string _path;
    Findings& _findings;
    PublishesOwed& _owed;
    bool _known = false;
    std::set<std::string> _acceptable;
    bool _waiting = false;
    // Whether the request waited for is a set.
    bool _setting = false;
    unsigned _ticket = 0;
    std::string _value;
    double _askedAt = 0;
    double _nextAt = 0;
    unsigned _readsLeft = 0;
    unsigned _serial = 0;
};

}  // namespace ZelkorSoak
