#pragma once
// The group a peer's source address belongs to for the rules that bound what one source
// may cost a node (waits after failed proofs, shares of its tables and slots): an IPv4
// address is its own group; an IPv6 address counts as its /64, since one host is commonly
// handed a whole /64 and could otherwise take a new address for every attempt. An IPv4
// address written as IPv6 (::ffff:a.b.c.d) counts as that IPv4 address.
//
// Stateless; any thread.

#include <boost/asio/ip/address.hpp>

namespace Zelkor {

boost::asio::ip::address SourceGroup(const boost::asio::ip::address& address);

}  // namespace Zelkor
