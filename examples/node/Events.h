#pragma once
// What the node tells: one JSON event line per happening on standard output, the log on
// standard error, and the text forms of addresses that every line uses.

#include <functional>
#include <mutex>
#include <string>

#include <boost/asio/ip/address.hpp>
#include <json/value.h>
#include <json/writer.h>

namespace ZelkorNode {

// Lines come from the main thread and from the event loop: each is written and flushed
// whole under the lock, so that a reader always gets complete lines.
class Events {
public:
    Events();

    // {"event":EVENT, ...fields}, one compact line.
    void Write(const std::string& event, Json::Value fields = Json::Value(Json::objectValue));
    // A line whose fractions are all the node's own times in milliseconds, rounded to the
    // microsecond: written with three decimals at most, not the 17 digits that show a
    // binary fraction's error. A peer's values keep every digit: they go through Write.
    void WriteTimes(const std::string& event, Json::Value fields);
    // {"event":"error","message":MESSAGE}: a bad option or command.
    void Error(const std::string& message);
    // Hears every line after it is written, on the writing thread; set before the node's
    // threads start, cleared (empty) before what it calls goes.
    using Observer = std::function<void(const std::string& event, const Json::Value& fields)>;
    void Observe(Observer observer) { _observer = std::move(observer); }

private:
    void write(const Json::StreamWriterBuilder& writer, const std::string& event, Json::Value fields);

    Observer _observer;
    std::mutex _mutex;
    Json::StreamWriterBuilder _writer;
    Json::StreamWriterBuilder _timesWriter;
};

// The library's log lines, one write each on standard error (the external logger).
void WriteLogLine(std::string& line);
// A note of the node's own on standard error.
void Note(const std::string& text);

// An address as the node writes it: IPv6 in brackets, IPv4 as it is; empty for none.
std::string AddressText(const std::string& address);
std::string AddressText(const boost::asio::ip::address& address);
// "ADDRESS:PORT" with the address as AddressText writes it.
std::string EndpointText(const std::string& address, unsigned short port);

}  // namespace ZelkorNode
