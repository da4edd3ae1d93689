#pragma once
// The few things the transport needs that each operating system spells its own way:
// tying a socket to one interface, reading a link-layer address out of the interface
// list, and opening a device that yields whole Ethernet frames. Everything else in the
// transport is written against the portable socket interfaces. The file transfer's
// needs live here too: opening a path without leaving a folder, and telling where an
// opened file lies; and the allocator's giving freed memory back to the system.
//
// Ownership: OpenFrameDevice returns a socket object that owns its descriptor;
// OpenBeneath hands its descriptor to the caller, who closes it. Threads: the functions
// keep no state and may be called from any thread; they act in the calling thread's
// network namespace.

#include <array>
#include <string>

#include <boost/asio/generic/raw_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

struct ifaddrs;

namespace Zelkor::Platform {

// Index of the named interface; 0 when the host has no such interface.
unsigned int InterfaceIndex(const std::string& name);

// Ties the socket to the interface with that index, so that it only hears (and only
// sends on) that interface. Index 0 is refused with invalid_argument: it would lift an
// earlier tie instead of making one.
boost::system::error_code BindToInterface(int descriptor, unsigned int interfaceIndex);

// True when the interface-list entry describes the link layer of its adapter; `mac` then
// receives its first (at most six) address bytes, or stays untouched when the entry
// carries no address bytes.
bool LinkLayerAddress(const ifaddrs& entry, std::array<unsigned char, 6>& mac);

// The adapter whose link layer serves the named one: an address label such as "eth0:1"
// has no link entry of its own and shares that of "eth0". Other names name themselves.
std::string LinkOwnerName(const std::string& adapterName);

// A non-blocking descriptor on the interface with that index from which each read returns
// exactly one IPv4 Ethernet frame, starting at the Ethernet header. Needs the privilege to
// open raw sockets; failures are reported through `error` with a closed socket.
boost::asio::generic::raw_protocol::socket OpenFrameDevice(boost::asio::io_context& io,
                                                           unsigned int interfaceIndex,
                                                           boost::system::error_code& error);

// Opens `path` relative to the open folder `folder` without ever leaving it: links are
// followed only while they stay beneath it, and a path that is absolute or climbs above
// it, by ".." or through a link, is refused with EXDEV; links into /proc's views of other
// files are not followed (ELOOP). `flags` as open takes them, without O_CREAT; the new
// descriptor closes on exec. Returns it, or -1 with errno set: ENOSYS where the kernel
// cannot resolve beneath a folder.
int OpenBeneath(int folder, const std::string& path, int flags);

// The path by which the system names what the descriptor holds open: where it was reached,
// after every link on the way. "" when the system cannot tell (no /proc).
std::string OpenedPath(int descriptor);

// Opens again, with `flags` (without O_CREAT), the very file a descriptor holds, one opened
// for lookups only (O_PATH) too. Returns the new descriptor, which closes on exec, or -1
// with errno set.
int Reopen(int descriptor, int flags);

// Asks the allocator to give the free memory it keeps back to the system: an idle
// connection's long-line buffers, once freed, would otherwise stay resident, the allocator
// keeping large freed blocks for reuse.
void ReturnFreeMemory();

// Fixes the size from which the allocator maps blocks of their own (glibc: 128 KiB, its
// default) instead of letting it rise. Left to itself it rises to the largest block freed,
// up to 32 MiB: after one peer's long line, every later long line is cut from the heap,
// and the small long-lived allocations made meanwhile keep those holes from ever going
// back to the system. An application may set its own afterwards.
void KeepLargeBlocksMapped();

}  // namespace Zelkor::Platform
