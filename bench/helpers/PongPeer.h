#pragma once
// A connection to the bare pong (bench_get_pong) in a child process, plain or TLS: the far
// end of the benchmarks' floors, which answers every line with one reply line.
//
// Ownership: the child, its connection and the TLS context live for one call. Threads: the
// calling thread alone.

#include <exception>
#include <string>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "ChildProcess.h"

namespace ZelkorBench {

// One line out and its one-line answer read from the stream into `input` and consumed:
// false when the pong went away.
template <class Stream>
bool RoundTrip(Stream& stream, const std::string& line, boost::asio::streambuf& input) {
    boost::system::error_code error;
    boost::asio::write(stream, boost::asio::buffer(line), error);
    const std::size_t length = error ? 0 : boost::asio::read_until(stream, input, '\n', error);
    if (error) {
        return false;
    }
    input.consume(length);
    return true;
}

// Starts a pong that answers every line with `reply` (given without its "\n"), connects to
// it (over TLS with `tls`, the handshake done) and runs `exchange` on the stream, a
// generic callable taking either a tcp::socket& or an ssl::stream<tcp::socket&>& and
// returning false when the pong went away. False with `why` when it failed.
template <class Exchange>
bool WithPong(const char* program, bool tls, const std::string& reply, Exchange&& exchange, std::string& why) {
    namespace asio = boost::asio;
    using asio::ip::tcp;
    Child pong({program, tls ? "tls" : "plain", reply}, "");
    const std::string port = pong.AwaitLine("");
    try {
        asio::io_context io;
        tcp::socket socket(io);
        socket.connect(
            tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(std::stoi(port))));
        socket.set_option(tcp::no_delay(true));
        bool done = false;
        if (tls) {
            asio::ssl::context context(asio::ssl::context::tls_client);
            context.set_verify_mode(asio::ssl::verify_none);
            asio::ssl::stream<tcp::socket&> stream(socket, context);
            stream.handshake(asio::ssl::stream_base::client);
            done = std::forward<Exchange>(exchange)(stream);
        } else {
            done = std::forward<Exchange>(exchange)(socket);
        }
        if (!done) {
            why = "the pong went away";
        }
        return done;
    } catch (const std::exception& error) {
        why = std::string("no pong: ") + error.what();
        return false;
    }
}

}  // namespace ZelkorBench
