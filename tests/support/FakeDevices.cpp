#include "support/FakeDevices.h"

#include <cstdio>
#include <deque>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "support/NetNamespace.h"

namespace ZelkorTest {

using boost::asio::ip::tcp;

namespace {

// "[targets][sources] " at the front of a line, or nothing.
std::string HeaderOf(const std::string& line) {
    if (line.empty() || line[0] != '[') {
        return "";
    }
    const auto end = line.find("] ");
    return end == std::string::npos ? "" : line.substr(0, end + 2);
}

// The way back: sources become targets.
std::string Reversed(const std::string& header) {
    const auto split = header.find("][");
    if (split == std::string::npos) {
        return "";
    }
    const std::string targets = header.substr(1, split - 1);
    const std::string sources = header.substr(split + 2, header.size() - split - 4);
    return "[" + sources + "][" + targets + "] ";
}

}  // namespace

class FakeDevices::Device : public std::enable_shared_from_this<FakeDevices::Device> {
public:
    Device(boost::asio::io_context& io, std::size_t index, FakeDevices& owner)
        : _acceptor(io), _index(index), _owner(owner) {}

    void Open() {
        _acceptor.open(tcp::v4());
        _acceptor.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
        _acceptor.listen();
    }
    unsigned short Port() const { return _acceptor.local_endpoint().port(); }
    void Accept();
    void Close() {
        boost::system::error_code ignored;
        _acceptor.close(ignored);
        if (const auto session = _session.lock()) {
            session->Close();
        }
    }
    void Publish(const std::string& body) {
        if (const auto session = _session.lock()) {
            session->Write(_back + "publish " + body + "\n");
        }
    }

private:
    class Session : public std::enable_shared_from_this<Session> {
    public:
        Session(tcp::socket socket, Device& device) : _socket(std::move(socket)), _device(device) {}
        void Read() {
            boost::asio::async_read_until(_socket, _input, '\n',
                                          [self = shared_from_this()](const boost::system::error_code& error,
                                                                      std::size_t size) {
                                              if (error) {
                                                  return;
                                              }
                                              std::string line(size - 1, '\0');
                                              self->_input.sgetn(line.data(), static_cast<std::streamsize>(size - 1));
                                              self->_input.consume(1);
                                              self->_device.Answer(*self, line);
                                              self->Read();
                                          });
        }
        void Write(std::string text) {
            _queue.push_back(std::move(text));
            if (_queue.size() == 1) {
                next();
            }
        }
        void Close() {
            boost::system::error_code ignored;
            _socket.close(ignored);
        }

    private:
        void next() {
            boost::asio::async_write(_socket, boost::asio::buffer(_queue.front()),
                                     [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                                         if (error) {
                                             return;
                                         }
                                         self->_queue.pop_front();
                                         if (!self->_queue.empty()) {
                                             self->next();
                                         }
                                     });
        }

        tcp::socket _socket;
        Device& _device;
        boost::asio::streambuf _input;
        std::deque<std::string> _queue;
    };

    void Answer(Session& session, const std::string& line) {
        const std::string header = HeaderOf(line);
        const std::string rest = line.substr(header.size());
        if (rest.empty()) {
            return;
        }
        if (rest[0] == '@') {
            if (rest.compare(0, 9, "@publish ") == 0) {
                ++_owner._answered;
                if (rest.find("\"error\"") != std::string::npos) {
                    ++_owner._refused;
                }
            }
            return;
        }
        const auto blank = rest.find(' ');
        const std::string word = rest.substr(0, blank);
        const std::string body = blank == std::string::npos ? "" : rest.substr(blank + 1);
        if (word == "disco") {
            session.Write(R"(@disco {"classname":"fake","guid":")" + Guid(_index) + R"(","ip":"127.0.0.1","mode":"device","name":")" +
                          Name(_index) + R"(","port":)" + std::to_string(Port()) + "}\n");
            return;
        }
        const std::string back = Reversed(header);
        if (word == "subscribe") {
            _back = back;
        }
        session.Write(back + "@" + word + " " + (body.empty() ? "{}" : body) + "\n");
    }

    tcp::acceptor _acceptor;
    std::size_t _index;
    FakeDevices& _owner;
    std::weak_ptr<Session> _session;
    std::string _back;
};

void FakeDevices::Device::Accept() {
    _acceptor.async_accept([self = shared_from_this()](const boost::system::error_code& error, tcp::socket socket) {
        if (error) {
            return;
        }
        auto session = std::make_shared<Session>(std::move(socket), *self);
        // A reconnecting node takes the device over.
        if (const auto old = self->_session.lock()) {
            old->Close();
        }
        self->_session = session;
        session->Read();
        self->Accept();
    });
}

FakeDevices::FakeDevices(std::size_t count, const NetNamespace* space) : _work(_io.get_executor()) {
    for (std::size_t i = 0; i < count; ++i) {
        _devices.push_back(std::make_shared<Device>(_io, i, *this));
    }
    const auto open = [this] {
        for (auto& device : _devices) {
            device->Open();
        }
    };
    if (!space || !space->Made() || !space->Run(open)) {
        open();
    }
    for (auto& device : _devices) {
        device->Accept();
    }
    _loop = std::thread([this] { _io.run(); });
}

FakeDevices::~FakeDevices() {
    boost::asio::post(_io, [this] {
        for (auto& device : _devices) {
            device->Close();
        }
    });
    // With every listener and connection closed, the loop runs out of work and ends.
    _work.reset();
    _loop.join();
}

unsigned short FakeDevices::Port(std::size_t index) const { return _devices.at(index)->Port(); }

std::string FakeDevices::Name(std::size_t index) { return "dev" + std::to_string(index); }

std::string FakeDevices::Guid(std::size_t index) {
    char text[40];
    std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012zx", index + 1);
    return text;
}

void FakeDevices::Publish(std::size_t index, const std::string& body) {
    boost::asio::post(_io, [device = _devices.at(index), body] { device->Publish(body); });
}

}  // namespace ZelkorTest
