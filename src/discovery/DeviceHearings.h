#pragma once
// In which discovery rounds each listed device was heard, by whom (its sender, see
// DeviceSender.h), and in which order; from that, which device a full list gives up for
// a newcomer.
//
// A device heard in two rounds in a row has answered again after a whole interval, which a
// flood of made-up replies, each heard once, cannot do. A flood faster than the list's
// bound per interval pushes a real device out before its next answer; so the devices given
// up are remembered (a bounded number of them, oldest forgotten first), and one heard again
// in the next round counts as heard in two. Rounds in a row, not any two: a flood that
// sends its made-up devices round after round in turns would otherwise make them all
// devices that stay.
//
// A flood that repeats the same made-up devices every round makes them heard in rounds in
// a row too; so the full list is also shared fairly between senders. For a newcomer of a
// sender holding n devices, the first device the caller accepts, in this order:
// - of the senders holding n + 2 or more, largest first: one heard in one round only, else
//   any, least recently heard first; after the exchange the newcomer's sender still holds
//   no more than the other;
// - then of the senders holding n + 1, then of its own sender: one heard in one round only,
//   least recently heard first. An exchange that would only turn two shares round gives
//   up no device that answered round after round, so that equals do not take each other's
//   places round after round;
// never one of another sender holding n or fewer.
//
// Ownership: a member of the discovery service. Threads: none of its own; the service's
// device-tables mutex guards it.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "discovery/DeviceSender.h"

namespace Zelkor {

class DeviceHearings {
public:
    // The device was heard in discovery round `round`, from `sender`: a device that moved
    // counts against whoever it is heard from last.
    void Heard(const std::string& guid, std::uint64_t round, const DeviceSender& sender = DeviceSender());
    // The device to give up for a newcomer of `newcomer`, as the file's comment orders them,
    // until `take` accepts one: its GUID, or "" when it accepts none.
    std::string ToGiveUp(const DeviceSender& newcomer, const std::function<bool(const std::string& guid)>& take) const;
    // Whether it was heard in one round only (false for a device not heard).
    bool HeardOnce(const std::string& guid) const;
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
        // Place in the order of hearing.
        std::uint64_t order = 0;
        bool established = false;
        DeviceSender sender;
    };
    // The devices a sender is heard for, by the order of their last hearing.
    struct Share {
        std::map<std::uint64_t, std::string> newcomers;
        std::map<std::uint64_t, std::string> established;
        std::size_t Size() const { return newcomers.size() + established.size(); }
    };

    void join(const std::string& guid, const Record& record);
    void leave(const Record& record);
    // The share's keys in the indexes below go before a change and come back after it.
    void unindex(const DeviceSender& sender, const Share& share);
    void index(const DeviceSender& sender, const Share& share);

    std::unordered_map<std::string, Record> _byGuid;
    std::map<DeviceSender, Share> _shares;
    // Every sender by its share's size.
    std::set<std::pair<std::size_t, DeviceSender>> _bySize;
    // The senders with a device heard in one round only, by their share's size, then
    // (counting down) by the order of that device least recently heard.
    std::set<std::tuple<std::size_t, std::uint64_t, DeviceSender>> _withNewcomers;
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
