#pragma once
// The transfers a node's lines tell of, each under the same two paths from its first
// line to its last: the library reports a transfer under one path that changes on the
// way (a get opened here begins under the peer's file and ends under this node's, a
// failure names the peer's), and its progress without length or peer's file.
//
// A transfer opened here is known from its command; one a peer opened, from its first
// report. Those a peer opened are bounded: the oldest is forgotten past kMostAnswered.
//
// Threads: the loop only (commands and the library's reports both run there).

#include <cstdint>
#include <list>
#include <string>

namespace ZelkorNode {

class TransferFlows {
public:
    struct Flow {
        bool put = false;
        // This node's file, and the peer's ("" when the peer opened the transfer).
        std::string path;
        std::string remote;
        // The device's GUID for one opened here, "" for one a peer opened.
        std::string id;
        // Bytes; 0 while unknown (a get opened here learns it only at its end).
        std::uint64_t length = 0;
        bool begun = false;
        bool ended = false;
        // It failed, as the peer's reply said (not as this node found).
        bool peerFailed = false;
        // Names one opened here to Forget; 0 for one a peer opened.
        std::uint64_t key = 0;
    };

    // A transfer opened here; its key, for Forget once its command's answer is written.
    std::uint64_t Open(bool put, const std::string& path, const std::string& remote, const std::string& id);
    void Forget(std::uint64_t key);
    // The library reported a begin (or an end, `begin` false) under `reported`: the
    // transfer as it stands after it.
    Flow Report(bool put, const std::string& reported, bool begin, std::uint64_t length, bool peerFailed = false);
    // The transfer opened here under that key; null once forgotten.
    const Flow* Opened(std::uint64_t key) const;
    // Whether a put opened here to the device `id` has not ended yet.
    bool PutInFlight(const std::string& id) const;
    // The transfer whose progress the library reported; null when none is known.
    const Flow* Progressing(const std::string& path, const std::string& id) const;

private:
    static constexpr std::size_t kMostAnswered = 256;

    std::list<Flow> _flows;
    std::uint64_t _lastKey = 0;
};

}  // namespace ZelkorNode
