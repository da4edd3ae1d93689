// The far end of the bare ping-pongs of bench_get_roundtrip and bench_file_transfer, in a
// process of its own as the device node is: it listens on an ephemeral loopback port,
// writes that port as one line on standard output, takes one connection (TLS from the
// start with "tls") and answers every line it reads with the reply given, until the peer
// closes.
//
// Usage: bench_get_pong plain|tls REPLY   (REPLY without its final "\n")

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>

#include "support/TlsMaterial.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// One reply per request line, each as soon as its line is complete. The lines are only
// counted, read straight into one buffer: the least any peer can do with them.
template <class Stream>
void answer(Stream& stream, const std::string& reply) {
    std::vector<char> buffer(std::size_t{1} << 20);
    boost::system::error_code error;
    for (;;) {
        const std::size_t got = stream.read_some(asio::buffer(buffer), error);
        if (error) {
            return;
        }
        const char* const end = buffer.data() + got;
        for (const char* at = buffer.data(); at < end; ++at) {
            at = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
            if (!at) {
                break;
            }
            asio::write(stream, asio::buffer(reply), error);
            if (error) {
                return;
            }
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
