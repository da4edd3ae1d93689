#pragma once
// What the checks found, beside the request accounts: values read back, publishes,
// transfers, and nodes that ended without being asked to. Each fault keeps its first few
// examples (the runner lines that show it) for the report.
//
// Threads: the run's one thread.

#include <map>
#include <string>
#include <vector>

namespace ZelkorSoak {

class Findings {
public:
    struct Kind {
        unsigned long count = 0;
        std::vector<std::string> examples;
    };

    // A value read back (or a set's answer) checked against what may be stored.
    void Checked() { ++_checked; }
    void WrongValue(const std::string& example) { add(_wrongValues, example); }
    // A publish to a controller that held a subscription to that value of that device.
    void Published() { ++_publishes; }
    void ForeignPublish(const std::string& example) { add(_foreign, example); }
    // A publish of a value whose subscription had ended a moment before.
    void LatePublish(const std::string& example) { add(_late, example); }
    // A change that a standing subscription covered, and no publish of it came in time.
    void MissingPublish(const std::string& example) { add(_missing, example); }

    void TransferOk(unsigned long long bytes) {
        ++_transfersOk;
        _bytesOk += bytes;
    }
    void TransferFailed(const std::string& text) {
        ++_transfersFailed;
        ++_failureTexts[text];
    }
    void TransferCorrupt(const std::string& example) { add(_corrupt, example); }
    // A transfer its controller's process did not live to see the end of.
    void TransferCut() { ++_transfersCut; }

    void UnexpectedExit(const std::string& example) { add(_exits, example); }

    unsigned long CheckedValues() const { return _checked; }
    const Kind& WrongValues() const { return _wrongValues; }
    unsigned long Publishes() const { return _publishes; }
    const Kind& ForeignPublishes() const { return _foreign; }
    const Kind& LatePublishes() const { return _late; }
    const Kind& MissingPublishes() const { return _missing; }
    unsigned long TransfersOk() const { return _transfersOk; }
    unsigned long long BytesOk() const { return _bytesOk; }
    unsigned long TransfersFailed() const { return _transfersFailed; }
    unsigned long TransfersCut() const { return _transfersCut; }
    const std::map<std::string, unsigned long>& FailureTexts() const { return _failureTexts; }
    const Kind& CorruptTransfers() const { return _corrupt; }
    const Kind& UnexpectedExits() const { return _exits; }

private:
    static constexpr std::size_t kExamples = 10;

    static void add(Kind& kind, const std::string& example) {
        ++kind.count;
        if (kind.examples.size() < kExamples) {
            kind.examples.push_back(example);
        }
    }

    unsigned long _checked = 0;
    Kind _wrongValues;
    unsigned long _publishes = 0;
    Kind _foreign;
    Kind _late;
    Kind _missing;
    unsigned long _transfersOk = 0;
    unsigned long long _bytesOk = 0;
    unsigned long _transfersFailed = 0;
    unsigned long _transfersCut = 0;
    std::map<std::string, unsigned long> _failureTexts;
    Kind _corrupt;
    Kind _exits;
};

}  // namespace ZelkorSoak
