#pragma once
// In which discovery rounds each listed device was heard, and the order in which the
// devices heard in one round only were last heard. A full device list makes room for a
// newcomer by giving up the least recently heard of those; a device heard in two rounds
// in a row has answered again after a whole interval, which a flood of made-up replies,
// each heard once, cannot do, and is never given up for a newcomer.
//
// A flood faster than the list's bound per interval pushes a real device out before its
// next answer; so the devices given up are remembered (a bounded number of them, oldest
// forgotten first), and one heard again in the next round counts as heard in two. Rounds
// in a row, not any two: a flood that sends its made-up devices round after round in
// turns would otherwise make them all devices that never leave.
//
// Ownership: a member of the discovery service. Threads: none of its own; the service's
// device-tables mutex guards it.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

namespace Zelkor {

class DeviceHearings {
public:
    // The device was heard in discovery round `round`.
    void Heard(const std::string& guid, std::uint64_t round);
    // The devices heard in one round only, least recently heard first, until `take`
    // accepts one: its GUID, or "" when it accepts none.
    std::string FirstNewcomer(const std::function<bool(const std::string& guid)>& take) const;
    void Erase(const std::string& guid);
    // As Erase, keeping in mind the round the device was last heard in.
    void GiveUp(const std::string& guid);
    void Clear();
    std::size_t Size() const { return _byGuid.size() + _givenUp.size(); }

    // How many given-up devices are remembered.
    static constexpr std::size_t Remembered = 16384;

private:
    struct Record {
        std::uint64_t round = 0;
        // Place among the newcomers; none once established.
        std::uint64_t order = 0;
        bool established = false;
    };

    std::unordered_map<std::string, Record> _byGuid;
    // The GUIDs heard in one round only, by the order of their last hearing.
    std::map<std::uint64_t, std::string> _newcomers;
    std::uint64_t _nextOrder = 0;
    struct GivenUp {
        std::uint64_t round = 0;
        std::uint64_t order = 0;
    };
    // Given-up devices, and the order of giving up (an entry whose order no longer matches
    // was heard again since).
    std::unordered_map<std::string, GivenUp> _givenUp;
    std::deque<std::pair<std::uint64_t, std::string>> _givenUpOrder;
};

}  // namespace Zelkor
