#pragma once
// The requests a connection has not seen answered, kept so that their senders can be
// answered should the connection end first: a request written waits for its reply, and
// one still queued, or ended unwritten and not yet reported, for its turn. Once the
// connection closes, each of them is answered where its reply would have come, as its
// peer would have refused it, so that no sender waits for ever on a connection that is
// gone.
//
// A written request is kept by its line: whole when it is short, else its head (routing
// header and word), by which it is still answered, with less of what it asked repeated.
// The words nobody waits on an answer of are not kept at all: the keep-alive and the
// connection's own handshake words, a node's notices toward a requester (their requester
// answers them, or its router does), and the file-transfer lines, whose transfers end on
// their own when the connection goes; nor are those whose services answer them on their
// own as the connection ends (get, set, exec).
//
// Bounded as the awaited requests are (AwaitedRequests::MaxAwaited), with which they are
// written and answered: past the bound the oldest is forgotten.
//
// Ownership: values held by their connection. Threads: the connection's loop.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace Zelkor {

struct LostRequest {
    // The request's place among those its connection took.
    std::uint64_t ordinal = 0;
    std::string word;
    // The line as it was sent, or its head (KeptRequests).
    std::string line;
    // What its sender hears: empty for "connection lost", else why it ended before
    // (a refused authentication, EndHeldRequests).
    std::string reason;
};

class KeptRequests {
public:
    // A written line longer than this is kept by its head only.
    static constexpr std::size_t WholeLineBound = 16 * 1024;

    // Whether a request of `word` is answered when its connection ends (see above).
    static bool AnsweredWhenLost(const std::string& word);
    // The line's routing header and word, without its body.
    static std::string HeadOf(const std::string& line);
    // What is kept of `line`: itself, or its head past WholeLineBound.
    static std::string KeptOf(std::string line);

    // The request of `ordinal` was written; kept when its word is answered when lost.
    void Written(std::uint64_t ordinal, const std::string& word, const std::string& line);
    // Its reply came.
    void Answered(std::uint64_t ordinal);
    // Every request kept, oldest first; none is kept any more.
    std::vector<LostRequest> Take();

private:
    std::deque<LostRequest> _written;
};

}  // namespace Zelkor
