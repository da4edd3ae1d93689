#include "driver/DatagramRequests.h"

#include <algorithm>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>

namespace Zelkor {

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

void DatagramRequests::Sent(const std::string& word, const Address& destination, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(_mutex);
    forgetExpired(now);
    _sent[{word, Destination(destination)}] = now;
    if (_sent.size() > MaxRecords) {
        _sent.erase(std::min_element(_sent.begin(), _sent.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
}

bool DatagramRequests::Answers(const std::string& word, const Address& source, Clock::time_point now) const {
    const auto recent = [&](const Address& to) {
        const auto found = _sent.find({word, to});
        return found != _sent.end() && now - found->second <= Window;
    };
    const Address from = Destination(source);
    std::lock_guard<std::mutex> lock(_mutex);
    // A source that reads as every node answers no request sent to one address.
    return recent(Address()) || (!from.is_unspecified() && recent(from));
}

std::size_t DatagramRequests::Size() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _sent.size();
}

void DatagramRequests::forgetExpired(Clock::time_point now) {
    for (auto entry = _sent.begin(); entry != _sent.end();) {
        entry = now - entry->second > Window ? _sent.erase(entry) : std::next(entry);
    }
}

}  // namespace Zelkor
