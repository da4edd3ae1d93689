#include "transport/SourceGroup.h"

#include <algorithm>

namespace Zelkor {

boost::asio::ip::address SourceGroup(const boost::asio::ip::address& address) {
    if (!address.is_v6()) {
        return address;
    }
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped()) {
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6);
    }
    auto bytes = v6.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    // The scope of a link-local address tells its link, which is part of the group.
    return boost::asio::ip::address_v6(bytes, v6.scope_id());
}

}  // namespace Zelkor
