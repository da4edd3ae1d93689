#pragma once
// A value per source, where a source is an address's group (SourceGroup: an IPv6 address
// counts as its /64), holding at most `capacity` sources: the one put longest ago leaves
// first, so that a peer taking new addresses costs the table no more than its bound.
//
// Ownership: a plain value, owned by the table that keeps it. Threads: none of its own;
// its owner locks around every call.

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <list>
#include <map>
#include <utility>

#include <boost/asio/ip/address.hpp>

#include "transport/SourceGroup.h"

namespace Zelkor {

template <typename Value>
class SourceTable {
public:
    using Address = boost::asio::ip::address;

    // A capacity of 0 is taken as 1.
    explicit SourceTable(std::size_t capacity) : _capacity(std::max<std::size_t>(1, capacity)) {}

    // The value of the address's group; null when the group is not held. Valid until the
    // table next changes.
    const Value* Find(const Address& address) const {
        const auto found = _byGroup.find(SourceGroup(address));
        return found == _byGroup.end() ? nullptr : &found->second->value;
    }

    // The address's group holds `value` and is the newest. The oldest leave while the
    // table has no room for it, and also while `expired` holds for the oldest's value.
    template <typename Expired>
    void Put(const Address& address, Value value, const Expired& expired) {
        const Address group = SourceGroup(address);
        erase(group);
        while (!_order.empty() && (_order.size() >= _capacity || expired(_order.front().value))) {
            _byGroup.erase(_order.front().group);
            _order.pop_front();
        }
        _order.push_back(Entry{group, std::move(value)});
        _byGroup.emplace(group, std::prev(_order.end()));
    }
    void Put(const Address& address, Value value) {
        Put(address, std::move(value), [](const Value&) { return false; });
    }

    // Forgets the address's group, if held.
    void Erase(const Address& address) { erase(SourceGroup(address)); }

    std::size_t Size() const { return _order.size(); }
    std::size_t Capacity() const { return _capacity; }

private:
    struct Entry {
        Address group;
        Value value;
    };
    using Order = std::list<Entry>;

    void erase(const Address& group) {
        if (const auto found = _byGroup.find(group); found != _byGroup.end()) {
            _order.erase(found->second);
            _byGroup.erase(found);
        }
    }

    const std::size_t _capacity;
    // Put longest ago first.
    Order _order;
    std::map<Address, typename Order::iterator> _byGroup;
};

}  // namespace Zelkor
