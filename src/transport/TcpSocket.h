#pragma once
// One protocol connection over TCP, in either direction, optionally upgraded in place to
// TLS after the "starttls" exchange. Incoming bytes are cut into lines and handed to the
// sink; outgoing lines follow the lock-step: one request outstanding at a time, further
// requests queued until some reply arrives, replies never waiting for the lock-step.
// Once secured, requests also wait until the connection is authenticated, or until a
// refused proof ends them (EndHeldRequests). Plain and TLS lines alike are written
// asynchronously, one write in flight: a peer that stops reading holds up its own
// connection, never the loop. What waits to be written is bounded (SetMaxQueuedBytes);
// past the bound the connection closes. What all connections hold for their peers is
// bounded too (ByteBudget::Output): past it a connection whose peer takes too little of
// what waits for it closes, that of the address holding most first.
//
// Ownership: always owned through std::shared_ptr (make it with std::make_shared); every
// pending handler holds a shared pointer to it, so it outlives its operations. The sink
// is not owned. A closed connection is never reopened.
//
// Threads: all of its work runs on the I/O context's thread. Connect, Handshake, Close,
// SendData and SendGoodbye may be called from any thread: off the loop they are posted
// to it and return at once; on the loop (or while the loop is stopped) they run before
// returning, and what the kernel takes at once of a line that may go is out by then (its
// completion follows on the loop). The other operations belong to the loop thread. Flags
// and SocketIsOpen are safe to read anywhere; SocketIsConnected off the loop answers from
// what the loop last saw instead of asking the system.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/ssl/verify_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "core/MessageForwardInfo.h"
#include "transport/AwaitedRequests.h"
#include "transport/ByteBudget.h"
#include "transport/LineFramer.h"
#include "transport/LostRequests.h"
#include "transport/OutgoingQueue.h"
#include "transport/Socket.h"

namespace Zelkor {

namespace Completion {
// Codes of the one-shot completion callback; their meaning is the discovery service's.
enum Code : int {
    None = 0,
    Disconnect = 1,
};
}  // namespace Completion

class TcpSocket : public Socket, public std::enable_shared_from_this<TcpSocket> {
public:
    enum State : int {
        Plain = 0,      // plain TCP
        Handshaking = 1,  // TLS handshake under way
        Tls = 2,        // TLS established
    };

    using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;
    using ConnectHandler = std::function<void(std::shared_ptr<TcpSocket>, boost::system::error_code)>;
    using CompletionHandler = std::function<void(Completion::Code, const std::string&)>;
    using TlsStream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;

    // The protocol's well-known port, given to every connection object.
    static constexpr unsigned short ProtocolPort = 4197;
    // Default bound of the output waiting to be written on one connection.
    // As much as one line may hold: a queued block line always fits.
    static constexpr std::size_t DefaultMaxQueuedBytes = LineFramer::DefaultMaxLineLength;
    // A connection's reads start this small and grow with what comes: most peers send
    // short lines, and a full datagram-sized buffer for each would come and go with every
    // short connection, scattering holes through the heap.
    static constexpr std::size_t FirstReadSize = 4096;

    TcpSocket(boost::asio::io_context& io, boost::asio::ssl::context& tls, bool client,
              unsigned short port = ProtocolPort, bool redundant = false);
    ~TcpSocket() override;

    // --- connection life ---------------------------------------------------------------

    // Opens and connects asynchronously; the socket counts as connecting from the call on.
    // `done` runs on the loop, never inside this call: after the connect completed (also
    // on failure), or with the error that kept it from starting (the socket was closed
    // before, could not be opened, or has a connect running: already_started). A connect
    // already started that the socket's closing abandons ends without `done`. The
    // interface name is accepted and not used.
    void Connect(const boost::asio::ip::address& address, unsigned short port,
                 const std::string& interfaceName, ConnectHandler done);
    // Called by the listener once a connection was accepted into GetBasicSocket().
    void OnAccept();
    // Starts the TLS handshake in the role of the client flag. On a connection that is
    // already secured the connection is closed instead: a live stream is never replaced.
    virtual void Handshake();
    // Ends the connection; reports SocketClosed once when a descriptor was open. A goodbye
    // still being written, or waiting behind a running write, goes out first, for at most
    // the close flush time: a peer that stops reading cannot keep the connection open.
    // With the loop stopped nothing more can be written: the connection closes at once.
    void Close() override;
    void SetCloseFlushTimeout(std::chrono::milliseconds timeout) { _closeFlushTimeout = timeout; }
    // Empties the request queue and zeroes the request and response times.
    void Clear();

    bool SocketIsOpen() override;
    // Open and the system knows the peer.
    bool SocketIsConnected();
    bool IsReliableTransport() const override { return true; }
    // The socket that holds the connection: the TLS stream's lowest layer once the
    // connection moved into it, else the plain socket.
    virtual boost::asio::ip::tcp::socket& GetBasicSocket();

    // The endpoints as cached when the connection was made; IPv4 0.0.0.0:0 before.
    boost::asio::ip::address GetLocalIP() const override { return LocalEndpoint().address(); }
    unsigned short GetLocalPort() const override { return LocalEndpoint().port(); }
    boost::asio::ip::address GetRemoteIP() const override { return RemoteEndpoint().address(); }
    unsigned short GetRemotePort() const override { return RemoteEndpoint().port(); }
    boost::asio::ip::tcp::endpoint RemoteEndpoint() const;
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;
    // Where a connect this node made was going, and why it failed (clear while it has not):
    // what an application tells its user of a connection that never came.
    boost::asio::ip::tcp::endpoint ConnectTarget() const;
    boost::system::error_code ConnectError() const;
    // Why the TLS handshake failed (clear while it has not).
    boost::system::error_code HandshakeError() const;

    State GetState() const { return _myState.load(); }
    void SetState(State state);

    // TLS role of the next handshake: true = client.
    // This node opened the connection (Connect marks it), rather than accepted it.
    bool IsOutgoing() const { return _outgoing.load(); }
    void SetOutgoing(bool outgoing) { _outgoing.store(outgoing); }
    bool IsClient() const { return _client.load(); }
    void SetClient(bool client) { _client.store(client); }
    bool IsTlsProvisioned() const { return _tlsProvisioned.load(); }
    void SetTlsProvisioned(bool on) { _tlsProvisioned.store(on); }
    bool IsRedundant() const { return _redundant; }
    bool IsConnectPending() const { return _connectPending.load(); }
    void SetConnectPending(bool on) { _connectPending.store(on); }

    bool IsAuthenticated() const { return _authenticate.load(); }
    // false also clears the Kasdor flag.
    void IsAuthenticated(bool on);
    bool IsKasdorAuthenticated() const { return _kasdorAuthenticated.load(); }
    // true also sets the authenticated flag.
    void IsKasdorAuthenticated(bool on);
    // The two flags above say that the peer proved the code to this node, and they alone
    // let the peer's requests in. This one says that the peer took this node's own proof
    // (a controller's, to the device it connected to): it lets this node's requests out,
    // and nothing in.
    bool IsProvenToPeer() const { return _provenToPeer.load(); }
    void SetProvenToPeer(bool on) { _provenToPeer.store(on); }
    // A secured connection's requests go once either side is proven.
    bool IsTrusted() const { return IsAuthenticated() || IsProvenToPeer(); }
    // Both connections are secured and their peers showed certificates of one public key,
    // whose private key each handshake made its peer use: one key holder at both ends,
    // whatever either certificate says. Loop thread.
    bool SamePeerKey(const TcpSocket& other) const;
    // The "authenticate" requests a router passed on for this connection's peer and whose
    // answers have not come back: only such an answer is the peer's to hear. Loop thread.
    void NoteProofForwarded() { ++_proofsForwarded; }
    bool TakeForwardedProof() {
        if (_proofsForwarded == 0) {
            return false;
        }
        --_proofsForwarded;
        return true;
    }
    // The peer's failed "authenticate" attempts here, as the discovery service counts them.
    unsigned FailedAuthentications() const { return _failedAuthentications.load(); }
    unsigned CountFailedAuthentication() { return ++_failedAuthentications; }
    // A "starttls" went out here and its answer has not come yet; taking the answer clears
    // it.
    void AwaitStartTls() { _awaitsStartTls.store(true); }
    bool TakeStartTlsAnswer() { return _awaitsStartTls.exchange(false); }
    // This node's own "authenticate" requests on the connection whose answers have not
    // come: only such an answer tells whether this node's proof was taken. Taking one
    // counts it off. Any thread.
    void AwaitProofAnswer() { ++_proofsAwaited; }
    bool TakeProofAnswer() {
        unsigned awaited = _proofsAwaited.load();
        while (awaited != 0 && !_proofsAwaited.compare_exchange_weak(awaited, awaited - 1)) {
        }
        return awaited != 0;
    }

    // The GUID the peer last answered discovery with on this connection ("" before it
    // did, and again once a TLS handshake begins): its own word, which only a proof of the
    // peer's makes more. Written by the discovery service. Loop thread.
    const std::string& AnsweredGuid() const { return _answeredGuid; }
    void SetAnsweredGuid(const std::string& guid) { _answeredGuid = guid; }
    // The peer speaks a protocol older than 1.8 (set from its discovery record).
    bool IsOldProtocol() const { return _oldProtocol.load(); }
    void SetOldProtocol(bool on) { _oldProtocol.store(on); }
    // Name of the local interface the connection runs on; written by the driver.
    std::string InterfaceName() const;
    void SetInterfaceName(const std::string& name);
    // Bookkeeping bytes of the discovery service and the remote device; never read here.
    std::uint8_t DeviceFlags() const { return _deviceFlags.load(); }
    void SetDeviceFlags(std::uint8_t flags) { _deviceFlags.store(flags); }
    std::uint8_t AuthenticationFlags() const { return _authenticationFlags.load(); }
    void SetAuthenticationFlags(std::uint8_t flags) { _authenticationFlags.store(flags); }
    // When the discovery service last answered the peer's request for its device list
    // (the epoch when it never did); never read here. Loop thread.
    std::chrono::steady_clock::time_point ListGivenAt() const { return _listGivenAt; }
    void SetListGivenAt(std::chrono::steady_clock::time_point at) { _listGivenAt = at; }

    // Reply due since the request time; the last reply came at the response time.
    TimePoint RequestTime() const { return _requestTime; }
    TimePoint ResponseTime() const { return _responseTime; }
    void SetUnresponsiveTimes();
    void ClearUnresponsiveTimes();

    // One-shot result callback: ReportCompletion calls it once and forgets it.
    void SetCompletion(CompletionHandler handler) { _completion = std::move(handler); }
    void ReportCompletion(Completion::Code code, const std::string& text);

    // Bound of an unfinished received line; past it the connection is closed. The sum over
    // all connections has a bound of its own (ByteBudget::Input).
    void SetMaxLineLength(std::size_t length) { _framer.SetMaxLineLength(length); }
    std::size_t MaxLineLength() const { return _framer.MaxLineLength(); }

    // Log tag of this connection: the last four hex digits of its address.
    const std::string& Tag() const { return _tag; }
    // When the peer last sent a line, or when the connection was made before it sent any:
    // how long a peer has been silent. Loop thread.
    std::chrono::steady_clock::time_point LastLineAt() const { return _lastLineAt; }
    // When the peer last sent anything: a peer in the middle of a long line is not silent,
    // however long the line takes. Loop thread.
    std::chrono::steady_clock::time_point LastHeardAt() const { return std::max(_lastLineAt, _lastReadAt); }
    // The peer has sent a complete line. Loop thread.
    bool HasSpoken() const { return _spoken; }
    // The oldest request whose answer is awaited past its bound at `now`, `boundOf` giving
    // the bound of its kind and of the nodes beyond the peer it went to; ordinal 0 when
    // none is. A request waits from its write on, as its peer's doing: while it is being
    // written, only the time beyond what its bytes take at the pace of the node's output
    // bound (RequestWrite), then all the time, less what the peer's unfinished lines
    // coming in at that pace bought it (a long answer on its way, or a long line of the
    // peer's own ahead of it, while it comes). A peer that sends other lines, a trickle or
    // nothing meanwhile is given nothing for it: what a long line bought is taken back once
    // it turns out to answer nothing. A request passed on for a requester behind this node is
    // kept past its own bound by an answer coming at the pace only until its deadline,
    // `deadlineOf` counted from its arrival here: its requester, who sees none of the answer
    // until it is whole, gives up after its own bound. Loop thread.
    struct Overdue {
        std::uint64_t ordinal = 0;
        std::string word;
        std::chrono::steady_clock::duration waited{};
    };
    using AnswerBoundOf =
        std::function<std::chrono::steady_clock::duration(AnswerWait wait, std::size_t beyond, bool forwarded)>;
    Overdue OverdueAnswer(std::chrono::steady_clock::time_point now, const AnswerBoundOf& boundOf,
                          const AnswerBoundOf& deadlineOf) const;
    // Bytes received of a line not yet finished, and when the last bytes came: a peer
    // that stops in the middle of a line holds them. Loop thread.
    std::size_t UnfinishedLineBytes() const { return _framer.PendingSize(); }
    std::chrono::steady_clock::time_point LastReadAt() const { return _lastReadAt; }
    // When the running TLS handshake began. Loop thread.
    std::chrono::steady_clock::time_point HandshakeStartedAt() const { return _handshakeStartedAt; }
    // Ends a handshake that took too long as a failed one (its error: timed out, reported
    // SocketRejected), then closes. Nothing once the handshake is over.
    void AbandonHandshake();
    // Buffer memory held beyond the default read buffer and an unfinished line: what a
    // long line left behind. An idle connection gives it back (IdleShrinkDelay).
    std::size_t SpareBufferBytes() const;
    static constexpr std::chrono::milliseconds IdleShrinkDelay{1000};

    // --- receive path -----------------------------------------------------------------

    void DoReceive() override;
    // The words that may pass while a handshake runs or the peer is unauthenticated.
    bool AllowedAtAuthentication(const std::string& word) const;

    // --- send path --------------------------------------------------------------------

    // Sends one complete line (the caller supplies the "\n"); `request` false for a reply.
    // Never fails towards the caller: a dropped request is logged. An empty text (a line
    // that could not be built) is nothing to send. A text passed as an rvalue is moved to
    // the socket without a copy.
    void SendData(std::string text, bool request);
    // SendData on the loop thread (or while no loop runs), at once: true when the
    // connection took the line (queued, or written without a failure that closed it);
    // false when it dropped it (closed connection, full request queue, output past its
    // bound, an empty text).
    bool SendDataNow(std::string text, bool request);
    // SendDataNow of a request a router passes on for the requester whose requests come on
    // the connection `requester` (a key, never dereferenced). This connection is one that
    // every requester behind the router shares: a prompt request (AnswerWaits), passed on
    // or this node's own (a keep-alive), is written before requests that take work queued
    // here for other requesters, so that a get waits on the answer being awaited, not on
    // every listing queued. Each such request is passed over so for `overtakable` in all,
    // timed from each write that went before it to the next request's turn; then it keeps
    // its place, so that a flood of gets cannot hold it either. Nothing else is ever passed
    // over: a request of the same requester, a notice, a line of this node's own. Loop
    // thread.
    bool PassOnNow(std::string text, const void* requester, std::chrono::steady_clock::duration overtakable);
    // Writes whatever may go next: a waiting goodbye, an authentication request, waiting
    // replies, then (unless `requestOutstanding`) the oldest request.
    void SendTheNextMsg(bool requestOutstanding);
    // Ends the requests held back until the peer has authenticated this node, and every
    // later one while the connection stays unauthenticated, instead of holding them for an
    // authentication that is not coming: each goes to the sink's RequestEnded with
    // `reason`, in sending order, a loop turn later (not once the connection has closed).
    // The authentication words still pass; once the connection is authenticated, requests
    // go out again. Any thread.
    void EndHeldRequests(std::string reason);
    // Once the connection has closed: answers each request it had not seen answered (those
    // written, those ended unwritten and not yet told, those still queued) that `answers`
    // picks by its word and line, in sending order, through the sink's RequestEnded with
    // "connection lost" (or the reason it ended with), as if its peer had refused it. Each
    // is answered once: the call forgets them all. Loop thread.
    void ReportLost(const std::function<bool(const std::string& word, const std::string& line)>& answers);
    // Which request a reply answers, for those who wait for one among several: the
    // ordinal given to the last request taken (1 for the first; read on the loop right
    // after SendDataNow took the line), and, while the sink is handed a reply
    // (MessageReceived) or an ended request's answer (RequestEnded), the request it
    // answers (ordinal 0 when none, and at any other time). Loop thread, but for the
    // count of requests handed to the connection so far, which any thread may read.
    std::uint64_t LastRequestTaken() const { return _requestsTaken.load(std::memory_order_relaxed); }
    const ConnectionRequest& AnsweredRequest() const { return _answered; }
    // A router said that the requester at the end of `route` (the targets of the notices
    // toward it) is gone: the notices for it still queued here (publishes, log rows,
    // events, blocks) are dropped, and so is one handed to the connection later that was
    // made before this call (ForgotRouteSince). Loop thread.
    void ForgetQueuedTo(const std::vector<std::string>& route);
    // Takes the request of `ordinal` back while it waits to be written; false once its
    // write has begun (or it is none of this connection's). Loop thread.
    bool WithdrawQueued(std::uint64_t ordinal);
    // How many routes were forgotten so far: taken when a notice is made, so that the
    // notice can be checked as it is handed over. Any thread.
    std::uint64_t RoutesForgotten() const { return _routesForgotten.load(std::memory_order_relaxed); }
    // Whether `line`, a request made when RoutesForgotten() was `mark`, is a notice toward
    // a route forgotten since. Loop thread.
    bool ForgotRouteSince(std::uint64_t mark, const std::string& line) const;
    // The ordinal of the request whose write began last, while no reply has come since:
    // the request that holds the lock-step (0 when none does). Loop thread.
    std::uint64_t RequestInFlight() const { return _sendingLockStep ? _requestWritten : 0; }
    // How the write of the request whose write began last went, as its peer's doing: the
    // time the write fell behind the pace of the node's output bound (ByteBudget: each
    // byte the peer takes buys it its share of a second at that pace; negative while
    // what the kernel took at once runs ahead), as of `at`; `done` once the write
    // completed, `at` then being when, and what ran ahead forgotten. From `at` on, all the
    // time that passes is the peer's: a stall, or the wait for its answer. A large line on
    // a slow link is not its peer's doing; a trickle, or a stop, is.
    struct RequestWrite {
        std::uint64_t ordinal = 0;
        std::chrono::steady_clock::duration behind{};
        std::chrono::steady_clock::time_point at{};
        bool done = false;
    };
    // Loop thread.
    const RequestWrite& LastRequestWrite() const { return _requestWrite; }
    // How far the writes of other lines (replies) fell behind the same pace, as its
    // peer's doing: `total` summed over the connection's life up to `now` (each write's
    // share from its start, what ran ahead forgotten at its end), and what `total` was
    // when the writer last had nothing to write (the start of its present busy run). A
    // line queued behind replies its peer does not take waits for as long as `total`
    // grows. Loop thread.
    struct OutputStall {
        std::chrono::steady_clock::duration total{};
        std::chrono::steady_clock::duration runStart{};
    };
    OutputStall StalledOutput(std::chrono::steady_clock::time_point now) const;
    // The sink's queue bound; 0 (no bound) without a sink.
    std::uint64_t MaxQueueDepth() const;
    std::size_t QueuedRequests() const { return _requestQueue.Size(); }
    // Bound of the bytes that wait to be written, the line being written aside. A line
    // that finds nothing waiting is taken whatever its size (a large file block still
    // goes); one that would pass the bound closes the connection instead. Loop thread.
    void SetMaxQueuedBytes(std::size_t bytes) { _maxQueuedBytes = bytes; }
    std::size_t MaxQueuedBytes() const { return _maxQueuedBytes; }
    std::size_t QueuedBytes() const;
    // What the connection holds for its peer: the bytes waiting and the line being
    // written. Counted against the node-wide bound of output. Loop thread.
    std::size_t HeldOutputBytes() const { return QueuedBytes() + _writingBytes; }

    // The connection to which replies arriving here are forwarded; empty when none.
    void ReturnRoute(std::shared_ptr<TcpSocket> socket) { _returnRoute = std::move(socket); }
    std::shared_ptr<TcpSocket> ReturnRoute() const { return _returnRoute; }

    // The connection's own routing header: the route of the last request sent, or what
    // the owner set (the file transfer addresses its blocks with it).
    MessageForwardInfo& ForwardInfo() { return _forwardInfo; }
    void SetForwardInfo(const MessageForwardInfo& info) { _forwardInfo = info; }

    // A "goodbye" with reason "shutdown", routed like the connection's requests.
    void SendGoodbye();
    // Writes `text` whole, outside the queues and the lock-step, before anything else that
    // waits; after the running write when one runs. Called on the loop with no write
    // running, what the kernel takes is out before the call returns.
    void SendGoodbye(std::string text);

    // Lock-step flags with their logged setters.
    bool SendingLockStep() const { return _sendingLockStep; }
    bool ReceivingLockStep() const { return _receivingLockStep; }
    bool SendingMsg() const { return _sendingMsg; }
    bool ReceivingMsg() const { return _receivingMsg; }
    void SetLockStepSending(bool on);
    void SetLockStepReceiving(bool on);
    void SetSendingMsg(bool on);
    void SetReceivingMsg(bool on);

protected:
    virtual void OnHandshake(const boost::system::error_code& error);
    bool VerifyCert(bool preverified, boost::asio::ssl::verify_context& context);

private:
    // One line on its way out, and how much of it is written; it carries its own command
    // word for the completion.
    struct Write : OutgoingLine {
        std::size_t offset = 0;
    };

    // Names the request a reply answers while the sink is handed it.
    class Answering {
    public:
        Answering(ConnectionRequest& slot, ConnectionRequest answered) : _slot(slot) { _slot = std::move(answered); }
        ~Answering() { _slot = ConnectionRequest{}; }
        Answering(const Answering&) = delete;
        Answering& operator=(const Answering&) = delete;

    private:
        ConnectionRequest& _slot;
    };

    template <class Fn>
    void onLoop(Fn&& fn);
    // Runs one call of the sink. What the sink throws must neither escape into the loop
    // nor leave the connection half alive: it is logged and the connection closed. False
    // when the call threw.
    template <class Call>
    bool callSink(const char* name, Call&& call);
    void sinkFailed(const char* name, const char* what);
    bool onLoopThread() const;
    std::shared_ptr<TcpSocket> self();
    void connectNow(const boost::asio::ip::tcp::endpoint& target, ConnectHandler done);
    // Hands a connect that could not start its error, a loop turn later.
    void postConnectResult(ConnectHandler done, const boost::system::error_code& error);
    void OnConnect(const boost::asio::ip::tcp::endpoint& target, const boost::system::error_code& error);
    void SetSocketOptions();
    void cacheEndpoints(const char* localText, const char* remoteText);
    void handshakeNow();
    void beginHandshake();
    void closeNow();
    // Keeps every request not seen answered for ReportLost; the queues are emptied.
    void keepLost();
    void closeDescriptor();
    bool descriptorOpen() const;

    void OnReceive(const boost::system::error_code& error, std::size_t bytes);
    void handleLine(std::string& line);
    // Once a read left no unfinished line, spare buffers wait for the connection to stay
    // quiet for IdleShrinkDelay and then go: a file's blocks keep theirs, an idle peer
    // holds no more than an ordinary one.
    // The wait ends IdleShrinkDelay after `from`.
    void watchIdle(std::chrono::steady_clock::time_point from);
    void shrinkIfIdle();
    // Sizes the read buffer for the next read after one of `bytes`.
    void sizeReadBuffer(std::size_t bytes);
    // The receiving flags around one read or line, as the lock-step log lines show them.
    void markReceiving();
    void releaseReceiving();
    // Stores a lock-step flag; a call that changes nothing is logged as an error.
    void setFlag(bool& flag, bool on, const char* alreadyOn, const char* alreadyOff, const char* setText);
    // Whose bytes the connection holds, for the node-wide budgets: several requesters',
    // when this node opened the connection (to a device, a router) or when a peer that
    // proved the code carries routed lines on it (a router's); otherwise its one peer's. A
    // route is only a claim from any other peer.
    bool carriesRequesters() const { return IsOutgoing() || (IsAuthenticated() && _carriesRoutedLines); }

    // `requester` and `overtakable`: as PassOnNow's, for a request passed on.
    bool sendNow(std::string text, bool request, const void* requester = nullptr,
                 std::chrono::steady_clock::duration overtakable = {});
    bool PrepareAndQueueMessage(OutgoingLine line);
    // The kind of a request's answer (AnswerWaits), its line read again only for a list.
    static AnswerWait answerWaitOf(const std::string& command, const std::string& text);
    // Whether a reply of `word` (without "@") is the refusal of a notice: it carries an error.
    static bool refusesNotice(const std::string& word, const MessageForwardInfo& header);
    // Queues a line within the output bound and the node's; past either the connection
    // closes. False then.
    bool enqueue(OutgoingQueue& queue, OutgoingLine line);
    // The write `write` tells of (the request's in flight, or another line's) moved
    // `written` bytes at `now` (RequestWrite).
    void noteWritten(RequestWrite& write, std::size_t written, std::chrono::steady_clock::time_point now) const;
    // The time `written` bytes buy their peer at the pace the output bound asks for what
    // the connection holds, the line being written included.
    std::chrono::steady_clock::duration paceBought(std::size_t written) const;
    // The output share follows what the connection holds once it shrank.
    void shrinkOutputShare();
    // The node-wide bound of output took this connection's place, or refused its growth.
    void closeForOutputBudget();
    // What the connection may hold on its own, whatever the node-wide bound: its queue's
    // bound and the line being written.
    std::size_t ownOutputBound() const { return _maxQueuedBytes + _writingBytes; }
    bool takeNext(OutgoingLine& next, bool requestOutstanding);
    // The next request to write: the oldest, or a prompt one passed on that may go before
    // it (PassOnNow).
    OutgoingLine takeRequest();
    // Where the request that may go before the oldest waits in the queue; 0 when none may.
    std::size_t overtakingRequest() const;
    bool takeBeforeHandshake(OutgoingLine& next);
    bool startRequest(const OutgoingLine& request);
    // A request that the peer's refusal to authenticate this node ends unwritten.
    bool endsUnwritten(const std::string& command);
    void endRequest(OutgoingLine request);
    void postEndedReport();
    // Hands the requests ended so far to the sink.
    void reportEnded();
    void startWrite(OutgoingLine message);
    // Starts one write of the rest of the line: over TLS a composed write of at least
    // ByteBudget::SmallShare (or the whole rest), on plain TCP what one send takes.
    void writeRest(const std::shared_ptr<Write>& write);
    std::size_t writeWithoutWaiting(const Write& write, boost::system::error_code& error);
    // Completion of one write call; true when the rest of the line is still to be written.
    bool OnSendData(const boost::system::error_code& error, std::size_t written, const std::shared_ptr<Write>& write);
    bool flushAfterClose(const boost::system::error_code& error, std::size_t written, Write& write);
    void finishFlush();
    void logWritten(const Write& write, std::size_t written) const;
    const char* transportName() const { return GetState() == Tls ? "TLS" : "TCP"; }

    boost::asio::ssl::context& _sslContext;
    boost::asio::ip::tcp::socket _socket;
    std::shared_ptr<TlsStream> _tls;
    // Written on the loop under the mutex; the loop reads them without it.
    mutable std::mutex _endpointMutex;
    boost::asio::ip::tcp::endpoint _localEndpoint{boost::asio::ip::address_v4::any(), 0};
    boost::asio::ip::tcp::endpoint _remoteEndpoint{boost::asio::ip::address_v4::any(), 0};
    boost::asio::ip::tcp::endpoint _connectTarget{boost::asio::ip::address_v4::any(), 0};
    boost::system::error_code _connectError;
    boost::system::error_code _handshakeError;

    std::atomic<bool> _client;
    std::atomic<bool> _outgoing{false};
    const bool _redundant;
    std::atomic<bool> _tlsProvisioned{false};
    std::atomic<bool> _connectPending{false};
    std::atomic<bool> _authenticate{false};
    std::atomic<bool> _kasdorAuthenticated{false};
    std::atomic<bool> _provenToPeer{false};
    std::uint64_t _proofsForwarded = 0;
    std::atomic<unsigned> _failedAuthentications{0};
    std::atomic<bool> _awaitsStartTls{false};
    std::atomic<unsigned> _proofsAwaited{0};
    std::atomic<bool> _oldProtocol{false};
    std::atomic<bool> _connected{false};
    std::atomic<bool> _descriptorOpen{false};
    std::atomic<std::uint8_t> _deviceFlags{0};
    std::atomic<std::uint8_t> _authenticationFlags{0};
    std::chrono::steady_clock::time_point _listGivenAt{};
    std::atomic<State> _myState{Plain};
    mutable std::mutex _interfaceNameMutex;
    std::string _interfaceName;
    std::string _answeredGuid;

    TimePoint _requestTime{};
    TimePoint _responseTime{};
    std::chrono::steady_clock::time_point _lastLineAt = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point _lastReadAt = _lastLineAt;
    std::chrono::steady_clock::time_point _handshakeStartedAt{};
    // What the peer's unfinished lines, coming in at the pace, bought the requests awaited
    // so far (OverdueAnswer), and what the line now coming in bought of it.
    std::chrono::steady_clock::duration _inputCredit{};
    std::chrono::steady_clock::duration _lineCredit{};
    bool _spoken = false;
    CompletionHandler _completion;
    std::string _tag;

    LineFramer _framer;
    // The line being handled. Its buffer and the framer's trade places line by line; the
    // line's header then takes it (a file block is not copied), and the framer fills a
    // fresh one with the next line.
    std::string _line;
    // Reads in a row that used little of a grown read buffer.
    unsigned _smallReads = 0;
    // The bytes of the unfinished line, counted against the node-wide bound.
    ByteBudget::Share _inputShare{ByteBudget::Input()};
    bool _budgetWatched = false;
    // A line came with a route of two sources or more: a requester behind the peer.
    bool _carriesRoutedLines = false;
    // The bytes held for the peer (HeldOutputBytes), counted against the node-wide bound.
    ByteBudget::Share _outputShare{ByteBudget::Output()};
    bool _outputWatched = false;
    // Size of the line being written, held until its write completes.
    std::size_t _writingBytes = 0;

    MessageForwardInfo _forwardInfo;
    std::shared_ptr<TcpSocket> _returnRoute;
    OutgoingQueue _requestQueue;
    // The last request written before others that waited longer, and when its turn began:
    // until the next request's turn, the time is theirs to count (PassOnNow).
    std::uint64_t _overtaker = 0;
    std::chrono::steady_clock::time_point _overtakerAt{};
    // Replies waiting for a running write (or for the handshake to finish).
    OutgoingQueue _priorityQueue;
    // Authentication requests of an unauthenticated connection: they skip the lock-step
    // but not a running write.
    OutgoingQueue _passQueue;
    OutgoingQueue _waitingGoodbyes;
    // Set once the peer refused to authenticate this node: what the requests it ends hear.
    std::string _authenticationRefused;
    // Requests ended unwritten, each with what its sender is to hear, until the sink has
    // been told of them; a report is posted while any wait.
    struct EndedRequest {
        OutgoingLine request;
        std::string reason;
    };
    std::deque<EndedRequest> _endedRequests;
    // Requests taken so far, those written and still unanswered, and the one the reply
    // being handed to the sink answers.
    std::atomic<std::uint64_t> _requestsTaken{0};
    // The routes forgotten lately (ForgetQueuedTo), each with the count it took, the
    // newest last; bounded, the count going on.
    std::atomic<std::uint64_t> _routesForgotten{0};
    std::deque<std::pair<std::uint64_t, std::vector<std::string>>> _forgottenRoutes;
    AwaitedRequests _awaited;
    // The lines of the requests awaited, and, once the connection has closed, every request
    // it had not seen answered, until ReportLost.
    KeptRequests _kept;
    std::vector<LostRequest> _lost;
    ConnectionRequest _answered;
    std::uint64_t _requestWritten = 0;
    RequestWrite _requestWrite;
    // The write of a line other than a request, as RequestWrite tells of a request's
    // (`at` empty while none runs), and what such writes fell behind so far (OutputStall).
    RequestWrite _otherWrite;
    OutputStall _outputStall;
    bool _endedReportPosted = false;
    std::size_t _maxQueuedBytes = DefaultMaxQueuedBytes;
    bool _goodbyeInFlight = false;
    // Close came while a goodbye waited behind a running write (or was being written):
    // the descriptor closes once they are out, or when the flush timer gives up.
    bool _closeWhenFlushed = false;
    boost::asio::steady_timer _flushTimer;
    boost::asio::steady_timer _idleTimer;
    bool _idleWatched = false;
    // The waiting read was ended so that its buffer may shrink.
    bool _readShrinking = false;
    std::chrono::milliseconds _closeFlushTimeout{2000};
    // SendTheNextMsg is running: a nested call (from a sink call, or a write that
    // completed at once) leaves the next line to it.
    bool _pumping = false;
    // The handshake waits for the running write and for the replies queued before it
    // began (the "@starttls" answer among them): the peer must read them in plain text.
    bool _handshakeAfterWrite = false;
    std::size_t _repliesBeforeHandshake = 0;

    bool _sendingLockStep = false;
    bool _receivingLockStep = false;
    bool _sendingMsg = false;
    bool _receivingMsg = false;
};

template <class Fn>
void TcpSocket::onLoop(Fn&& fn) {
    if (onLoopThread() || IoContext().stopped()) {
        // On the loop, or no loop runs (stopped): nothing can race with this call.
        fn();
        return;
    }
    auto keep = self();
    if (!keep) {
        // Not shared-owned: nothing asynchronous can be pending, run here.
        fn();
        return;
    }
    boost::asio::post(IoContext(), [keep = std::move(keep), fn = std::forward<Fn>(fn)]() mutable { fn(); });
}

template <class Call>
bool TcpSocket::callSink(const char* name, Call&& call) {
    try {
        call();
        return true;
    } catch (const std::exception& e) {
        sinkFailed(name, e.what());
    } catch (...) {
        sinkFailed(name, "unknown exception");
    }
    return false;
}

}  // namespace Zelkor
