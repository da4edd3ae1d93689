#pragma once
// One controller's file transfers, one at a time, to each device in turn: a file of 1 to
// 50 MB of random content is put to the device, the copy the device stored is checked,
// and the file is got back and checked against the original. Each put and each get
// counts once: ok, failed (the runner said why), corrupt (said to succeed, with content
// that differs) or cut (its controller was killed before the end). The files go once
// checked; those of a corrupt round stay, for a look.

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Findings.h"
#include "Requester.h"

namespace ZelkorSoak {

class TransferFlow {
public:
    // `folder`: the controller's own, for its files.
    TransferFlow(Requester& controller, std::vector<const Target*> targets, std::string folder, Findings& findings,
                 std::mt19937_64& random);
    ~TransferFlow();

    void Tick(double now);
    // A progress line of the controller's.
    void Progress(const Json::Value& line, double now);
    // How far the transfer under way has come, in percent; nothing when none is.
    std::optional<double> Percent() const;
    // The controller's process ended: the transfer under way is cut.
    void Cut();

private:
    enum class Step { Idle, Put, Get };

    void put(double now);
    void get(double now);
    // The runner's answer to the put or get under way: counted, the copy checked, and a
    // put's round goes on to the get.
    void answered(const Json::Value* line, const std::string& error, double now);
    void ask(const std::string& cmd, const std::string& local, double now);
    void corrupt(const std::string& what, double now);
    // Back to idle: the files of this round are removed, the next starts after a pause.
    void finish(double now);

    Requester& _controller;
    const std::vector<const Target*> _targets;
    const std::string _folder;
    Findings& _findings;
    std::mt19937_64& _random;
    Step _step = Step::Idle;
    std::size_t _turn = 0;
    unsigned _serial = 0;
    unsigned _ticket = 0;
    const Target* _target = nullptr;
    std::string _local;
    std::string _back;
    std::string _remote;
    std::string _md5;
    std::uint64_t _bytes = 0;
    double _active = 0;
    double _percent = 0;
    double _nextAt = 0;
};

}  // namespace ZelkorSoak
