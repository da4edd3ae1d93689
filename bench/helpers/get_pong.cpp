// The far end of the bare ping-pong of bench_get_roundtrip, in a process of its own as the
// device node is: it listens on an ephemeral loopback port, writes that port as one line
// on standard output, takes one connection (TLS from the start with "tls") and answers
// every line it reads with the reply given, until the peer closes.
//
// Usage: bench_get_pong plain|tls REPLY   (REPLY without its final "\n")

#include <cstdio>
#include <exception>
#include <string>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "support/TlsMaterial.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// One reply per request line, each as soon as its line is complete.
template <class Stream>
void answer(Stream& stream, const std::string& reply) {
    asio::streambuf input;
    boost::system::error_code error;
    for (;;) {
        const std::size_t length = asio::read_until(stream, input, '\n', error);
        if (error) {
            return;
        }
        input.consume(length);
        asio::write(stream, asio::buffer(reply), error);
        if (error) {
            return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 3 ? argv[1] : "";
    if (mode != "plain" && mode != "tls") {
        std::fprintf(stderr, "usage: bench_get_pong plain|tls REPLY\n");
        return 2;
    }
    try {
        const std::string reply = std::string(argv[2]) + "\n";
        asio::io_context io;
        tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        std::printf("%u\n", static_cast<unsigned>(acceptor.local_endpoint().port()));
        std::fflush(stdout);
        tcp::socket socket(io);
        acceptor.accept(socket);
        socket.set_option(tcp::no_delay(true));
        if (mode == "plain") {
            answer(socket, reply);
            return 0;
        }
        const auto tls = ZelkorTest::MakeTlsContext();
        asio::ssl::stream<tcp::socket> stream(std::move(socket), *tls);
        stream.handshake(asio::ssl::stream_base::server);
        answer(stream, reply);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_get_pong: %s\n", error.what());
        return 1;
    }
}
