#include "Events.h"

#include <cstdio>

namespace ZelkorNode {

Events::Events() {
    _writer["indentation"] = "";
    _timesWriter["indentation"] = "";
    _timesWriter["precision"] = 3;
    _timesWriter["precisionType"] = "decimal";
}

void Events::Write(const std::string& event, Json::Value fields) { write(_writer, event, std::move(fields)); }

void Events::WriteTimes(const std::string& event, Json::Value fields) {
    write(_timesWriter, event, std::move(fields));
}

void Events::write(const Json::StreamWriterBuilder& writer, const std::string& event, Json::Value fields) {
    fields["event"] = event;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const std::string line = Json::writeString(writer, fields) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
    if (_observer) {
        _observer(event, fields);
    }
}

void Events::Error(const std::string& message) {
    Json::Value fields;
    fields["message"] = message;
    Write("error", fields);
}

void WriteLogLine(std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

void Note(const std::string& text) {
    std::string line = "NODE " + text;
    WriteLogLine(line);
}

std::string AddressText(const std::string& address) {
    const bool bare = address.find(':') != std::string::npos && address.front() != '[';
    return bare ? "[" + address + "]" : address;
}

std::string AddressText(const boost::asio::ip::address& address) {
    return address.is_unspecified() ? std::string() : AddressText(address.to_string());
}

std::string EndpointText(const std::string& address, unsigned short port) {
    return AddressText(address) + ":" + std::to_string(port);
}

}  // namespace ZelkorNode
