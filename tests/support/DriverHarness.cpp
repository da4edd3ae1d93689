#include "support/DriverHarness.h"

#include <array>
#include <future>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "support/RunUntil.h"

namespace ZelkorTest {

RawPeer::RawPeer() { _tlsContext.set_verify_mode(boost::asio::ssl::verify_none); }

bool RawPeer::Connect(const boost::asio::ip::tcp::endpoint& to) {
    boost::system::error_code error;
    Socket().connect(to, error);
    return !error;
}

bool RawPeer::StartTls(std::chrono::milliseconds deadline) {
    bool done = false;
    boost::system::error_code result;
    _stream.async_handshake(boost::asio::ssl::stream_base::client, [&](const boost::system::error_code& error) {
        result = error;
        done = true;
    });
    _io.restart();
    _io.run_for(deadline);
    if (!done) {
        Socket().cancel();
        _io.restart();
        _io.run();
        return false;
    }
    _tls = !result;
    return _tls;
}

void RawPeer::Send(const std::string& text) {
    boost::system::error_code error;
    if (_tls) {
        boost::asio::write(_stream, boost::asio::buffer(text), error);
    } else {
        boost::asio::write(Socket(), boost::asio::buffer(text), error);
    }
}

bool RawPeer::fill(std::chrono::steady_clock::time_point until) {
    if (_closed) {
        return false;
    }
    std::array<char, 4096> data{};
    bool done = false;
    boost::system::error_code result;
    std::size_t count = 0;
    auto handler = [&](const boost::system::error_code& error, std::size_t n) {
        result = error;
        count = n;
        done = true;
    };
    if (_tls) {
        _stream.async_read_some(boost::asio::buffer(data), handler);
    } else {
        Socket().async_read_some(boost::asio::buffer(data), handler);
    }
    _io.restart();
    _io.run_until(until);
    if (!done) {
        Socket().cancel();
        _io.restart();
        _io.run();
        return false;
    }
    _buffer.append(data.data(), count);
    if (result) {
        _closed = true;
    }
    return count > 0;
}

std::string RawPeer::ReadLine(std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        const auto end = _buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = _buffer.substr(0, end + 1);
            _buffer.erase(0, end + 1);
            return line;
        }
        if (_closed || std::chrono::steady_clock::now() >= until) {
            return "";
        }
        fill(until);
    }
}

bool RawPeer::WaitClosed(std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!_closed && std::chrono::steady_clock::now() < until) {
        fill(until);
    }
    return _closed;
}

void RawPeer::Close() {
    boost::system::error_code ignored;
    Socket().close(ignored);
    _closed = true;
}

void AcceptTap::SocketAccepted(std::shared_ptr<Zelkor::TcpSocket> socket) {
    // Shown to the test only once the driver knows it: a handle the test uses at once must
    // be found among the live sockets.
    _driver.SocketAccepted(socket);
    std::lock_guard<std::mutex> lock(_mutex);
    _accepted.push_back(std::move(socket));
}

std::size_t AcceptTap::Count() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _accepted.size();
}

std::shared_ptr<Zelkor::TcpSocket> AcceptTap::At(std::size_t index) const {
    std::lock_guard<std::mutex> lock(_mutex);
    return index < _accepted.size() ? _accepted[index] : nullptr;
}

DriverHarness::DriverHarness()
    : driver(std::make_shared<Zelkor::ZelkorDriver>(io)),
      discovery(std::make_shared<FakeDiscovery>(driver)),
      tap(*driver) {}

DriverHarness::~DriverHarness() {
    Stop();
    if (server) {
        server->Close();
    }
}

void DriverHarness::Start(const std::string& address,
                          const std::function<void(const std::function<void()>&)>& bindIn) {
    // A test that made the real discovery service (InitDiscovery) keeps it.
    if (!driver->GetDriverDiscovery()) {
        driver->UseDiscovery(discovery);
    }
    server = std::make_shared<Zelkor::TcpServer>(io, driver->GetSSLContext(), tlsProvisioned);
    server->Subscribe(&tap);
    const auto bind = [&] { server->BindTo(boost::asio::ip::make_address(address), 0); };
    if (bindIn) {
        bindIn(bind);
    } else {
        bind();
    }
    _loop = std::thread([this] { driver->Run(); });
}

void DriverHarness::Stop() {
    if (_loop.joinable()) {
        driver->Stop();
        _loop.join();
    }
}

std::shared_ptr<Zelkor::TcpSocket> DriverHarness::Connect(RawPeer& peer) {
    const std::size_t before = tap.Count();
    if (!peer.Connect(server->LocalEndpoint())) {
        return nullptr;
    }
    if (!WaitUntil([&] { return tap.Count() > before; })) {
        return nullptr;
    }
    return tap.At(before);
}

bool DriverHarness::OnLoop(const std::function<void()>& work) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    boost::asio::post(io, [work, done] {
        work();
        done->set_value();
    });
    return future.wait_for(60s) == std::future_status::ready;
}

}  // namespace ZelkorTest
