#include "driver/DatagramRequests.h"

#include <algorithm>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>

namespace Zelkor {

namespace {

// The prefix length of a mask whose ones all lead; nothing for any other.
std::optional<unsigned short> prefixOf(std::uint32_t mask) {
    const std::uint32_t hosts = ~mask;
    if ((hosts & (hosts + 1)) != 0) {
        return std::nullopt;
    }
    unsigned short length = 0;
    for (std::uint32_t bit = 0x80000000u; bit != 0 && (mask & bit) != 0; bit >>= 1) {
        ++length;
    }
    return length;
}

template <class Map>
typename Map::const_iterator oldestOf(const Map& records) {
    return std::min_element(records.begin(), records.end(),
                            [](const auto& a, const auto& b) { return a.second < b.second; });
}

}  // namespace

DatagramRequests::Address DatagramRequests::Destination(const Address& address) {
    if (address.is_v4()) {
        const auto v4 = address.to_v4();
        if (v4 == boost::asio::ip::address_v4::broadcast() || v4.is_multicast()) {
            return Address();
        }
        return v4;
    }
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped()) {
        return Destination(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6));
    }
    if (v6.is_multicast()) {
        return Address();
    }
    return boost::asio::ip::address_v6(v6.to_bytes());
}

std::optional<DatagramRequests::Subnet> DatagramRequests::BroadcastSubnet(const Address& destination,
                                                                          const Address& own, std::uint32_t mask) {
    const Address to = Destination(destination);
    const auto prefix = prefixOf(mask);
    if (!to.is_v4() || !own.is_v4() || !prefix || *prefix == 0 || *prefix > 30) {
        return std::nullopt;
    }
    const std::uint32_t network = own.to_v4().to_uint() & mask;
    if (to.to_v4().to_uint() != (network | ~mask)) {
        return std::nullopt;
    }
    return Subnet(boost::asio::ip::address_v4(network), *prefix);
}

void DatagramRequests::Sent(const std::string& word, const Address& destination, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(_mutex);
    forgetExpired(now);
    _sent[{word, Destination(destination)}] = now;
    forgetOldest();
}

void DatagramRequests::SentToSubnet(const std::string& word, const Subnet& subnet, Clock::time_point now) {
    const Subnet whole = subnet.canonical();
    std::lock_guard<std::mutex> lock(_mutex);
    forgetExpired(now);
    _subnets[{word, whole.network().to_uint(), whole.prefix_length()}] = now;
    forgetOldest();
}

bool DatagramRequests::Answers(const std::string& word, const Address& source, Clock::time_point now) const {
    const auto recent = [&](const Address& to) {
        const auto found = _sent.find({word, to});
        return found != _sent.end() && now - found->second <= Window;
    };
    const Address from = Destination(source);
    std::lock_guard<std::mutex> lock(_mutex);
    // A source that reads as every node answers no request sent to one address or subnet.
    if (recent(Address()) || (!from.is_unspecified() && recent(from))) {
        return true;
    }
    if (!from.is_v4()) {
        return false;
    }
    const std::uint32_t bits = from.to_v4().to_uint();
    for (auto at = _subnets.lower_bound({word, 0, 0}); at != _subnets.end() && std::get<0>(at->first) == word;
         ++at) {
        const unsigned short prefix = std::get<2>(at->first);
        const std::uint32_t mask = ~std::uint32_t{0} << (32 - prefix);
        if ((bits & mask) == std::get<1>(at->first) && now - at->second <= Window) {
            return true;
        }
    }
    return false;
}

std::size_t DatagramRequests::Size() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _sent.size() + _subnets.size();
}

void DatagramRequests::forgetExpired(Clock::time_point now) {
    for (auto entry = _sent.begin(); entry != _sent.end();) {
        entry = now - entry->second > Window ? _sent.erase(entry) : std::next(entry);
    }
    for (auto entry = _subnets.begin(); entry != _subnets.end();) {
        entry = now - entry->second > Window ? _subnets.erase(entry) : std::next(entry);
    }
}

void DatagramRequests::forgetOldest() {
    if (_sent.size() + _subnets.size() <= MaxRecords) {
        return;
    }
    const auto address = oldestOf(_sent);
    const auto subnet = oldestOf(_subnets);
    if (subnet == _subnets.end() || (address != _sent.end() && address->second <= subnet->second)) {
        _sent.erase(address);
    } else {
        _subnets.erase(subnet);
    }
}

}  // namespace Zelkor
