#include "TransferFlow.h"

#include <unistd.h>

#include <cstdio>

#include "Files.h"
#include "Json.h"
#include "RunClock.h"

namespace ZelkorSoak {
namespace {

constexpr std::uint64_t kMegabyte = 1 << 20;
constexpr std::uint64_t kSmallest = 1 * kMegabyte;
constexpr std::uint64_t kLargest = 50 * kMegabyte;
// With no answer and no progress for this long, the flow goes on (the ledger keeps the
// request open).
constexpr double kStall = 180;

}  // namespace

TransferFlow::TransferFlow(Requester& controller, std::vector<const Target*> targets, std::string folder,
                           Findings& findings, std::mt19937_64& random)
    : _controller(controller),
      _targets(std::move(targets)),
      _folder(std::move(folder)),
      _findings(findings),
      _random(random) {}

TransferFlow::~TransferFlow() { finish(0); }

std::optional<double> TransferFlow::Percent() const {
    if (_step == Step::Idle) {
        return std::nullopt;
    }
    return _percent;
}

void TransferFlow::Cut() {
    if (_step != Step::Idle) {
        _findings.TransferCut();
    }
    finish(0);
}

void TransferFlow::Tick(double now) {
    if (_step != Step::Idle) {
        if (now - _active >= kStall) {
            finish(now);
        }
        return;
    }
    if (now < _nextAt || _targets.empty()) {
        return;
    }
    // The next device in turn that the controller lists.
    for (std::size_t tried = 0; tried < _targets.size(); ++tried) {
        const Target* target = _targets[_turn++ % _targets.size()];
        if (_controller.Listed(*target)) {
            _target = target;
            put(now);
            return;
        }
    }
    _nextAt = now + 1;
}

void TransferFlow::put(double now) {
    const std::string round = _controller.Who() + "-" + std::to_string(++_serial);
    _local = _folder + "/" + round + ".bin";
    _back = _folder + "/" + round + ".back.bin";
    _remote = round + ".bin";
    _bytes = kSmallest + _random() % (kLargest - kSmallest + 1);
    _md5 = WriteRandomFile(_local, _bytes, _random);
    if (_md5.empty()) {
        std::fprintf(stderr, "zelkor_soak: cannot write %s\n", _local.c_str());
        finish(now);
        _nextAt = now + 10;
        return;
    }
    _step = Step::Put;
    ask("sendfile", _local, now);
}

void TransferFlow::get(double now) {
    _step = Step::Get;
    ask("recvfile", _back, now);
}

void TransferFlow::ask(const std::string& cmd, const std::string& local, double now) {
    Json::Value command;
    command["guid"] = _target->guid;
    command["local"] = local;
    command["remote"] = _remote;
    _active = now;
    _percent = 0;
    _controller.Ask(cmd, *_target, command,
                    [this, ticket = ++_ticket](const Json::Value* line, const std::string& error, double when) {
                        if (ticket == _ticket && _step != Step::Idle) {
                            answered(line, error, when);
                        }
                    });
}

void TransferFlow::Progress(const Json::Value& line, double now) {
    const std::string& path = _step == Step::Put ? _local : _back;
    if (_step != Step::Idle && line["path"].asString() == path) {
        _active = now;
        _percent = line["percent"].asDouble();
    }
}

void TransferFlow::answered(const Json::Value* line, const std::string& error, double now) {
    const bool put = _step == Step::Put;
    const std::string what = put ? "put" : "get";
    if (!line || !error.empty()) {
        _findings.TransferFailed(what + ": " + (error.empty() ? std::string("no text") : error));
        finish(now);
        return;
    }
    // The copy the transfer made: the device's of a put, the one fetched of a get.
    const std::string copy = Md5OfFile(put ? _target->filesDir + "/" + _remote : _back);
    if (copy != _md5) {
        corrupt(what + " of " + std::to_string(_bytes) + " bytes said to succeed; " +
                    (put ? "the device's copy" : "the copy fetched") + " has MD5 \"" + copy + "\", the original " +
                    _md5 + "\n      " + Compact(*line),
                now);
        return;
    }
    _findings.TransferOk(_bytes);
    if (put) {
        get(now);
    } else {
        finish(now);
    }
}

// The files of the round stay where they are, for a look at what differs.
void TransferFlow::corrupt(const std::string& what, double now) {
    _findings.TransferCorrupt(Stamp(now) + " " + _controller.Who() + " with " + _target->name + ", " + _remote + ": " +
                              what + "\n      kept: " + _local + ", " + _back + ", " + _target->filesDir + "/" +
                              _remote);
    _local.clear();
    _back.clear();
    _target = nullptr;
    finish(now);
}

void TransferFlow::finish(double now) {
    if (!_local.empty()) {
        ::unlink(_local.c_str());
        ::unlink(_back.c_str());
        if (_target) {
            ::unlink((_target->filesDir + "/" + _remote).c_str());
        }
    }
    _local.clear();
    _back.clear();
    _step = Step::Idle;
    ++_ticket;
    _nextAt = now + 1 + static_cast<double>(_random() % 3);
}

}  // namespace ZelkorSoak
