#pragma once
// The connections a controller keeps to one device: a primary and, when the device runs
// redundantly, a secondary over which every message goes a second time. Every query asks
// the primary first and the secondary only in redundant mode.
//
// Ownership: owned through std::shared_ptr by the remote device; shares both sockets.
// The sink is not owned. Threads: not synchronised; the owner serialises its calls (the
// remote device holds its socket-set mutex). The sockets' own operations hop onto their
// loop as documented there.

#include <atomic>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>

#include "core/ZelkorLoggable.h"

namespace Zelkor {

class SocketSink;
class TcpSocket;

class TcpSocketSet : public ZelkorLoggable, public std::enable_shared_from_this<TcpSocketSet> {
public:
    TcpSocketSet();
    // Releases both sockets without closing them.
    virtual ~TcpSocketSet();

    // The existing primary, or a new client socket (protocol port, the set's redundancy
    // and sink).
    std::shared_ptr<TcpSocket> CreatePrimary(boost::asio::io_context& io, boost::asio::ssl::context& tls);
    std::shared_ptr<TcpSocket> CreateSecondary(boost::asio::io_context& io, boost::asio::ssl::context& tls);
    // Close and drop one socket.
    void DeletePrimary();
    void DeleteSecondary();
    // Closes and drops `socket` from the slot that holds it; a slot holding another socket
    // (a newer one, or an adopted connection) is left alone. False when the set does not
    // hold it.
    bool Delete(const std::shared_ptr<TcpSocket>& socket);
    // Drops `socket` from the slot that holds it without closing it, for another owner to
    // adopt. False when the set does not hold it.
    bool Release(const std::shared_ptr<TcpSocket>& socket);
    void Close();
    // Adopts a connection as primary; the previous one is dropped without closing and the
    // set's sink is not given to the new one.
    void SetHandle(std::shared_ptr<TcpSocket> socket);
    void Subscribe(SocketSink* sink);

    std::shared_ptr<TcpSocket> Primary() const { return _primary; }
    std::shared_ptr<TcpSocket> Secondary() const { return _secondary; }

    virtual bool SocketIsOpen();
    virtual bool SocketIsConnected();
    virtual void IsRedundant(bool on) { _redundant = on; }
    virtual bool IsRedundant() const { return _redundant; }
    // No considered connection short of TLS (true also without connections).
    bool IsEncrypted() const;
    // No considered connection unauthenticated (true also without connections).
    bool IsAuthenticated() const;
    bool Transferring() const;
    // The socket's peer is the primary's (or, redundant, the secondary's) peer.
    bool IsPeer(const std::shared_ptr<TcpSocket>& socket) const;

    // The peer speaks a protocol older than 1.8.
    bool IsOldProtocol() const { return _oldProtocol.load(); }
    void SetOldProtocol(bool on) { _oldProtocol.store(on); }

    // On the connected primary and, redundant, also on the connected secondary.
    void SendData(std::string text, bool request);
    void SendGoodbye();

private:
    std::shared_ptr<TcpSocket> create(std::shared_ptr<TcpSocket>& slot, boost::asio::io_context& io,
                                      boost::asio::ssl::context& tls);
    // The sockets a query or a send considers: the primary, and the secondary when
    // redundant. True when `pred` holds for one of them, asking the primary first.
    template <class Pred>
    bool anyConsidered(Pred&& pred) const;
    template <class Fn>
    void forConsidered(Fn&& fn) const;

    SocketSink* _sink = nullptr;
    std::shared_ptr<TcpSocket> _primary;
    std::shared_ptr<TcpSocket> _secondary;
    std::atomic<bool> _redundant{false};
    std::atomic<bool> _oldProtocol{false};
};

}  // namespace Zelkor
