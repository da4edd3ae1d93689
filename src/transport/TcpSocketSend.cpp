// Send path of a TCP connection: the lock-step queues, the writes (asynchronous on plain
// TCP and over TLS alike), the completion that reports file-transfer blocks and starts the
// next line, and the goodbye.
//
// One write is in flight at a time. Whatever arrives during it waits: a goodbye, an
// authentication request, replies, requests, served in that order once it completes.
// What waits is bounded in bytes: a peer that asks and never reads must not grow it for
// ever. A handshake waits for the running write and the replies queued before it (the peer
// must read the start-TLS answer in plain text); after that the TLS stream owns the
// connection.

#include <algorithm>
#include <cerrno>

#include <boost/asio/write.hpp>

#include <sys/socket.h>
#include <sys/types.h>

#include "discovery/Goodbye.h"
#include "transport/LineFramer.h"
#include "transport/SocketSink.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

std::int64_t secondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

void TcpSocket::SendData(std::string text, bool request) {
    // An empty text is a line that could not be built: nothing goes out, and no empty
    // request holds the lock-step for a reply that never comes.
    if (text.empty()) {
        return;
    }
    // A line the peer reads as nothing would, as a request, wait for a reply for ever.
    if (LineFramer::IsBlank(text)) {
        Warning("ZK7271W Blank line not sent on conn: " + _tag);
        return;
    }
    onLoop([this, text = std::move(text), request]() mutable { sendNow(std::move(text), request); });
}

bool TcpSocket::SendDataNow(std::string text, bool request) {
    return !text.empty() && sendNow(std::move(text), request);
}

bool TcpSocket::PassOnNow(std::string text, const void* requester, std::chrono::steady_clock::duration overtakable) {
    return !text.empty() && sendNow(std::move(text), true, requester, overtakable);
}

bool TcpSocket::sendNow(std::string text, bool request, const void* requester,
                        std::chrono::steady_clock::duration overtakable) {
    Trace("ZK7240I TcpSocket::SendData begin");
    if (IsFinalized()) {
        Debug("ZK7241I TcpSocket::SendData _finalized is true");
        return false;
    }
    if (GetState() != Handshaking && !SocketIsOpen()) {
        PeerWarning("ZK7242W SendData called on closed socket");
        closeNow();
        return false;
    }
    // Each line is parsed on its own: the connection's header keeps only the route, so
    // no later line (a goodbye, a block) can repeat this line's sender hash. A line whose
    // header does not parse has no command word. Its body is the sender's business: it is
    // not read here, however large.
    MessageForwardInfo parsed;
    const std::string command =
        parsed.ReadReceived(text, false) ? parsed.CommandText() : std::string();
    if (request) {
        _forwardInfo.SetTargetPaths(parsed.GetTargetPaths());
        _forwardInfo.SetSourcePaths(parsed.GetSourcePaths());
        // Counted whether taken or not: only a taken line's ordinal is ever asked for.
        const std::uint64_t ordinal = _requestsTaken.fetch_add(1, std::memory_order_relaxed) + 1;
        // The first target is the peer, the rest lie beyond it.
        const std::size_t beyond = std::max<std::size_t>(parsed.TargetList().size(), 1) - 1;
        const AnswerWait wait = answerWaitOf(command, text);
        const bool forwarded = parsed.SourceList().size() >= 2;
        const auto takenAt = std::chrono::steady_clock::now();
        // A notice's route tells its answer from another requester's.
        std::vector<std::string> route =
            AwaitedRequests::IsNotice(command) ? parsed.TargetList() : std::vector<std::string>{};
        if (!IsTrusted() && AllowedAtAuthentication(command)) {
            Debug("ZK7243I TcpSocket::SendData request not queued", command);
            if (!enqueue(_passQueue, {std::move(text), command, false, ordinal, beyond, std::move(route), wait,
                                      forwarded, takenAt})) {
                return false;
            }
        } else if (endsUnwritten(command)) {
            // Taken, and answered by its end: its sender hears of it as of a reply.
            Debug("ZK7273I TcpSocket::SendData request ended, the peer refused authentication", command);
            endRequest({std::move(text), command, false, ordinal});
            return true;
        } else {
            Debug("ZK7244I TcpSocket::SendData queueing request", command);
            OutgoingLine line{std::move(text), command, false, ordinal, beyond, std::move(route), wait, forwarded,
                              takenAt};
            line.requester = requester;
            if (wait == AnswerWait::Work) {
                line.overtakable = overtakable;
            }
            const bool queued = PrepareAndQueueMessage(std::move(line));
            if (!queued && IsFinalized()) {
                return false;
            }
            if (_sendingLockStep) {
                Debug("ZK7245I TcpSocket::SendData queued request pending _sendingLockStep");
                return queued;
            }
            if (_sendingMsg) {
                Debug("ZK7246I TcpSocket::SendData queued request pending _sendingMsg");
                return queued;
            }
            if (!IsTrusted()) {
                Debug("ZK7247I TcpSocket::SendData _authenticate is false");
                if (GetState() != Plain) {
                    Debug("ZK7248I TcpSocket::SendData _myState is not TCP", static_cast<int>(GetState()));
                    return queued;
                }
            }
            Debug("ZK7249I TcpSocket::SendData request queued", command);
            SendTheNextMsg(_sendingLockStep);
            Trace("ZK7254I TcpSocket::SendData end");
            return queued && !IsFinalized();
        }
    } else if (_sendingMsg || GetState() == Handshaking) {
        Debug("ZK7250I TcpSocket::SendData reply queued while sending", command);
        return enqueue(_priorityQueue, {std::move(text), command});
    } else {
        Debug("ZK7251I TcpSocket::SendData sending reply", command);
        if (!enqueue(_priorityQueue, {std::move(text), command})) {
            return false;
        }
    }
    SendTheNextMsg(_sendingLockStep);
    Trace("ZK7254I TcpSocket::SendData end");
    // A write that failed at once has closed the connection: the line is lost with it.
    return !IsFinalized();
}

bool TcpSocket::PrepareAndQueueMessage(OutgoingLine line) {
    const std::string& command = line.command;
    const std::uint64_t depth = MaxQueueDepth();
    if (depth != 0 && _requestQueue.Size() >= depth) {
        PeerWarning(Join("ZK7239W Message queue full! Message lost  command: ", command, " to IP: ",
                         _remoteEndpoint.address()));
        return false;
    }
    const bool repeatable = command == "poll" || command == "disco";
    if (repeatable && _requestQueue.Holds(line.text)) {
        Debug("ZK7237I TcpSocket:PrepareAndQueueMessage duplicate command not queued", command);
        return false;
    }
    const std::string word = command;
    if (!enqueue(_requestQueue, std::move(line))) {
        return false;
    }
    Debug(repeatable ? "ZK7236I TcpSocket:PrepareAndQueueMessage command queued"
                     : "ZK7238I TcpSocket:PrepareAndQueueMessage command queued",
          word);
    return true;
}

std::size_t TcpSocket::QueuedBytes() const {
    return _requestQueue.Bytes() + _priorityQueue.Bytes() + _passQueue.Bytes() + _waitingGoodbyes.Bytes();
}

bool TcpSocket::enqueue(OutgoingQueue& queue, OutgoingLine line) {
    const std::size_t held = QueuedBytes();
    if (held > 0 && (held > _maxQueuedBytes || line.text.size() > _maxQueuedBytes - held)) {
        PeerWarning(Join("ZK7269W Output waiting to be written exceeds the bound, closing conn: ", _tag),
                    _maxQueuedBytes);
        closeNow();
        return false;
    }
    if (!_outputWatched) {
        // Another connection's growth may take this one's place in the budget. The close
        // waits for a turn of this connection's loop: the grower is in the middle of a send.
        _outputShare.OnEvicted([weak = weak_from_this()] {
            if (auto evicted = weak.lock()) {
                boost::asio::post(evicted->IoContext(), [evicted] {
                    if (!evicted->IsFinalized()) {
                        evicted->closeForOutputBudget();
                    }
                });
            }
        });
        _outputWatched = true;
    }
    if (HeldOutputBytes() + line.text.size() >= ByteBudget::SmallShare) {
        _outputShare.SetSource(_remoteEndpoint.address(), carriesRequesters());
    }
    if (!_outputShare.Resize(HeldOutputBytes() + line.text.size(), ownOutputBound())) {
        closeForOutputBudget();
        return false;
    }
    queue.Push(std::move(line));
    return true;
}

std::chrono::steady_clock::duration TcpSocket::paceBought(std::size_t written) const {
    const std::size_t pace = std::max(ByteBudget::SmallShare, HeldOutputBytes() / ByteBudget::PaceFraction);
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(ByteBudget::ProgressWindow) *
           static_cast<std::int64_t>(written) / static_cast<std::int64_t>(pace);
}

void TcpSocket::noteWritten(RequestWrite& write, std::size_t written, std::chrono::steady_clock::time_point now) const {
    if (write.done) {
        return;
    }
    // What the kernel took at once is paid for by the stalls that follow while the kernel
    // hands it on, so it may run ahead of the time; not past the write's end.
    write.behind += (now - write.at) - paceBought(written);
    write.at = now;
}

TcpSocket::OutputStall TcpSocket::StalledOutput(std::chrono::steady_clock::time_point now) const {
    OutputStall stall = _outputStall;
    if (_otherWrite.at != std::chrono::steady_clock::time_point{}) {
        stall.total += std::max(std::chrono::steady_clock::duration::zero(),
                                _otherWrite.behind + (now - _otherWrite.at));
    }
    return stall;
}

void TcpSocket::closeForOutputBudget() {
    PeerWarning(Join("ZK7274W Output waiting to be written exceeds the node's bound, closing conn: ", _tag),
                ByteBudget::Output().Limit());
    closeNow();
}

void TcpSocket::shrinkOutputShare() {
    // A closed connection gave its share back for good.
    if (!IsFinalized()) {
        _outputShare.Resize(HeldOutputBytes(), ownOutputBound());
    }
}

bool TcpSocket::takeNext(OutgoingLine& next, bool requestOutstanding) {
    if (!_waitingGoodbyes.Empty()) {
        next = _waitingGoodbyes.Pop();
        return true;
    }
    // Replies go whatever is awaited; a request waits while as many as may are awaited.
    if (!_passQueue.Empty() && !_awaited.Full()) {
        next = _passQueue.Pop();
        return startRequest(next);
    }
    if (!_priorityQueue.Empty()) {
        next = _priorityQueue.Pop();
        return true;
    }
    // Once a "starttls" is written, only the handshake may follow it: a request let go
    // meanwhile by another reply would go out in clear text and reach the peer amid its
    // handshake. It waits for the secured stream, or for the refusal.
    const bool mayRequest = (IsTrusted() || GetState() == Plain) && !_awaited.Awaits("starttls");
    if (requestOutstanding || _sendingLockStep || !mayRequest || _awaited.Full() || _requestQueue.Empty()) {
        return false;
    }
    next = takeRequest();
    return startRequest(next);
}

OutgoingLine TcpSocket::takeRequest() {
    const auto now = std::chrono::steady_clock::now();
    if (_overtaker != 0) {
        // The turn of the request that went before them is over: its time is theirs.
        for (std::size_t at = 0; at < _requestQueue.Size(); ++at) {
            OutgoingLine& waiting = _requestQueue.At(at);
            if (waiting.overtakenBy == _overtaker) {
                waiting.overtaken += now - _overtakerAt;
            }
        }
        _overtaker = 0;
    }
    const std::size_t at = overtakingRequest();
    if (at == 0) {
        return _requestQueue.Pop();
    }
    OutgoingLine next = _requestQueue.TakeAt(at);
    for (std::size_t before = 0; before < at; ++before) {
        _requestQueue.At(before).overtakenBy = next.ordinal;
    }
    _overtaker = next.ordinal;
    _overtakerAt = now;
    Debug("ZK7278I Prompt request written before work queued for requesters", next.command);
    return next;
}

std::size_t TcpSocket::overtakingRequest() const {
    // Only a run of requesters' work, each with time left, from the front on.
    std::size_t at = 0;
    for (; at < _requestQueue.Size(); ++at) {
        const OutgoingLine& line = _requestQueue.At(at);
        if (line.requester == nullptr || line.wait != AnswerWait::Work || line.overtaken >= line.overtakable) {
            break;
        }
    }
    if (at == 0 || at == _requestQueue.Size()) {
        return 0;
    }
    // A requester's, or one of this node's own: its keep-alive, held behind the run, would
    // hold every request behind it there too. A line passed on that is not a requester's
    // own request (a notice) keeps its place.
    const OutgoingLine& prompt = _requestQueue.At(at);
    if (prompt.wait != AnswerWait::Prompt || !prompt.route.empty() || (prompt.requester == nullptr && prompt.forwarded)) {
        return 0;
    }
    for (std::size_t before = 0; before < at; ++before) {
        if (_requestQueue.At(before).requester == prompt.requester) {
            return 0;
        }
    }
    return at;
}

bool TcpSocket::takeBeforeHandshake(OutgoingLine& next) {
    if (!_handshakeAfterWrite) {
        return false;
    }
    if (_repliesBeforeHandshake > 0 && !_priorityQueue.Empty()) {
        --_repliesBeforeHandshake;
        next = _priorityQueue.Pop();
        return true;
    }
    _handshakeAfterWrite = false;
    _repliesBeforeHandshake = 0;
    beginHandshake();
    return false;
}

namespace {

// Whether `text` is a notice addressed along `route`; only its head is read.
bool noticeTo(const std::string& text, const std::vector<std::string>& route) {
    MessageForwardInfo header;
    return header.ReadReceived(text, false) && !header.isReply && AwaitedRequests::IsNotice(header.GetCommand()) &&
           header.TargetList() == route;
}

constexpr std::size_t kForgottenRoutesKept = 64;

}  // namespace

void TcpSocket::ForgetQueuedTo(const std::vector<std::string>& route) {
    if (route.empty()) {
        return;
    }
    const std::size_t dropped =
        _requestQueue.RemoveIf([&route](const OutgoingLine& line) { return noticeTo(line.text, route); });
    if (dropped > 0) {
        Debug("ZK7276I Notices queued for a requester gone dropped", dropped);
    }
    const std::uint64_t count = _routesForgotten.fetch_add(1, std::memory_order_relaxed) + 1;
    if (_forgottenRoutes.size() >= kForgottenRoutesKept) {
        _forgottenRoutes.pop_front();
    }
    _forgottenRoutes.emplace_back(count, route);
}

bool TcpSocket::WithdrawQueued(std::uint64_t ordinal) {
    return ordinal != 0 &&
           _requestQueue.RemoveFirst([ordinal](const OutgoingLine& line) { return line.ordinal == ordinal; });
}

bool TcpSocket::ForgotRouteSince(std::uint64_t mark, const std::string& line) const {
    if (RoutesForgotten() == mark) {
        return false;
    }
    for (const auto& [count, route] : _forgottenRoutes) {
        if (count > mark && noticeTo(line, route)) {
            return true;
        }
    }
    return false;
}

void TcpSocket::EndHeldRequests(std::string reason) {
    onLoop([this, reason = std::move(reason)]() mutable {
        if (IsFinalized() || IsTrusted() || GetState() == Plain) {
            return;
        }
        _authenticationRefused = std::move(reason);
        PeerWarning(Join("ZK7272W Requests held for authentication ended on conn: ", _tag), _authenticationRefused);
        while (!_requestQueue.Empty()) {
            endRequest(_requestQueue.Pop());
        }
        shrinkOutputShare();
    });
}

bool TcpSocket::endsUnwritten(const std::string& command) {
    if (_authenticationRefused.empty()) {
        return false;
    }
    if (IsTrusted()) {
        // A later proof succeeded: the refusal stands no longer.
        _authenticationRefused.clear();
        return false;
    }
    return GetState() != Plain && !AllowedAtAuthentication(command);
}

void TcpSocket::endRequest(OutgoingLine request) {
    _endedRequests.push_back(EndedRequest{std::move(request), _authenticationRefused});
    // A loop turn later: the sender records its wait for the reply once the connection
    // took the line, and only then may the end answer it.
    postEndedReport();
}

void TcpSocket::postEndedReport() {
    if (_endedReportPosted) {
        return;
    }
    auto keep = self();
    if (!keep) {
        // Nothing can be posted for a connection nobody owns, nor told to anyone.
        _endedRequests.clear();
        return;
    }
    _endedReportPosted = true;
    boost::asio::post(IoContext(), [keep = std::move(keep), this] { reportEnded(); });
}

void TcpSocket::reportEnded() {
    _endedReportPosted = false;
    // Only those ended before this turn: a sender that asks again from the call that told
    // it is told on the next turn, so that it cannot keep the loop to itself.
    std::size_t count = _endedRequests.size();
    auto* sink = Sink();
    auto keep = self();
    while (count-- > 0 && !IsFinalized()) {
        const auto ended = std::move(_endedRequests.front());
        _endedRequests.pop_front();
        const Answering answering(_answered, {ended.request.ordinal, ended.request.command});
        if (sink && keep && !callSink("RequestEnded", [&] {
                sink->RequestEnded(keep, ended.request.text, ended.reason);
            })) {
            return;
        }
    }
    if (!_endedRequests.empty() && !IsFinalized()) {
        postEndedReport();
    }
}

TcpSocket::Overdue TcpSocket::OverdueAnswer(std::chrono::steady_clock::time_point now, const AnswerBoundOf& boundOf,
                                           const AnswerBoundOf& deadlineOf) const {
    for (const ConnectionRequest& request : _awaited.All()) {
        std::chrono::steady_clock::duration waited = now - request.writtenAt;
        if (request.ordinal == _requestWrite.ordinal && _requestWrite.at != std::chrono::steady_clock::time_point{}) {
            waited = _requestWrite.behind + (now - _requestWrite.at);
        }
        const auto bound = boundOf(request.wait, request.beyond, request.forwarded);
        const auto credit = _inputCredit - request.creditAt;
        if (waited - credit >= bound) {
            return {request.ordinal, request.word, waited - credit};
        }
        // Past its own bound, an answer coming at the pace keeps a request passed on only
        // until its requester, who sees nothing of the answer before it is whole, would
        // give this node up.
        if (request.forwarded && waited >= bound &&
            now - request.takenAt >= deadlineOf(request.wait, request.beyond, true)) {
            return {request.ordinal, request.word, waited - credit};
        }
    }
    return {};
}

AnswerWait TcpSocket::answerWaitOf(const std::string& command, const std::string& text) {
    if (command != "list") {
        return AnswerWaitOf(command);
    }
    // The one word whose answer's kind its body tells: a list line is short.
    MessageForwardInfo whole;
    return AnswerWaitOf(command, whole.ReadReceived(text) ? whole.JsonText() : std::string_view());
}

bool TcpSocket::startRequest(const OutgoingLine& request) {
    const auto now = std::chrono::steady_clock::now();
    // Kept first: a request taken off its queue is answered as lost should the connection
    // close here.
    _kept.Written(request.ordinal, request.command, request.text);
    _awaited.Written({request.ordinal, request.command, request.route, request.wait, request.beyond, now,
                      _inputCredit, request.forwarded, request.takenAt});
    _requestWritten = request.ordinal;
    _requestWrite = {request.ordinal, {}, now, false};
    SetLockStepSending(true);
    SetUnresponsiveTimes();
    auto* sink = Sink();
    auto keep = self();
    return !sink || !keep || callSink("SetRequestTime", [&] { sink->SetRequestTime(keep, secondsNow()); });
}

void TcpSocket::SendTheNextMsg(bool requestOutstanding) {
    // A write that completes at once, or a sink call that sends, asks for the next line
    // again from inside this loop; the loop serves that request instead of recursing.
    if (_pumping) {
        return;
    }
    _pumping = true;
    // Cleared however the loop ends: a flag left set would mute the connection for good.
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{_pumping};
    bool outstanding = requestOutstanding;
    while (!IsFinalized() && !_sendingMsg) {
        OutgoingLine next;
        const bool taken = GetState() == Handshaking ? takeBeforeHandshake(next) : takeNext(next, outstanding);
        if (!taken) {
            break;
        }
        startWrite(std::move(next));
        outstanding = _sendingLockStep;
    }
    if (!_sendingMsg) {
        // The writer caught up: whatever is queued from now on waits for a peer that
        // has taken all it was given.
        _outputStall.runStart = _outputStall.total;
    }
}

void TcpSocket::startWrite(OutgoingLine message) {
    SetSendingMsg(true);
    // Taken from a queue: the connection holds it as before, until the write is over.
    _writingBytes = message.text.size();
    _goodbyeInFlight = message.goodbye;
    _otherWrite = {};
    if (message.ordinal == 0 && !message.goodbye) {
        _otherWrite.at = std::chrono::steady_clock::now();
    }
    if (auto* sink = Sink()) {
        if (!callSink("LogTraffic", [&] { sink->LogTraffic(false, _remoteEndpoint, message.text, GetState() == Tls); })) {
            return;
        }
    }
    auto write = std::make_shared<Write>(Write{std::move(message), 0});
    if (GetState() == Tls) {
        if (!write->goodbye) {
            Debug("ZK7252I TcpSocket::SendData state is TLS", write->command);
        }
        writeRest(write);
    } else if (write->goodbye) {
        // A goodbye is usually followed at once by Close, perhaps with the loop about to
        // stop: what the kernel takes now is out before the close, and only a rest waits
        // for the writer.
        boost::system::error_code error;
        const std::size_t written = writeWithoutWaiting(*write, error);
        if (OnSendData(error, written, write)) {
            writeRest(write);
        }
    } else {
        Debug("ZK7253I TcpSocket::SendData state is not TLS", write->command);
        writeRest(write);
    }
}

std::size_t TcpSocket::writeWithoutWaiting(const Write& write, boost::system::error_code& error) {
    // The networking library's own synchronous send waits for room; this one never does.
    const ssize_t sent = ::send(_socket.native_handle(), write.text.data() + write.offset,
                                write.text.size() - write.offset, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) {
        return static_cast<std::size_t>(sent);
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        error.assign(errno, boost::system::system_category());
    }
    return 0;
}

void TcpSocket::writeRest(const std::shared_ptr<Write>& write) {
    const auto rest = boost::asio::buffer(write->text.data() + write->offset, write->text.size() - write->offset);
    auto done = [keep = self(), this, write](const boost::system::error_code& error, std::size_t written) {
        if (OnSendData(error, written, write)) {
            writeRest(write);
        }
    };
    if (GetState() == Tls) {
        // The TLS layer takes a line record by record; the composed write hands it over
        // and completes every SmallShare or so, so that the node's bound of output sees a
        // reader's pace part-way through a large line, as it does on plain connections.
        boost::asio::async_write(*_tls, rest, boost::asio::transfer_at_least(ByteBudget::SmallShare), std::move(done));
    } else {
        _socket.async_write_some(rest, std::move(done));
    }
}

void TcpSocket::logWritten(const Write& write, std::size_t written) const {
    if (written >= 2 && LogLevel() >= 4) {
        const std::size_t length = written - 1;
        const std::string excerpt(write.text.data() + write.offset, std::min<std::size_t>(length, 80));
        Summary(std::string(write.goodbye ? "ZK7265I " : "ZK7257I ") + transportName() + " wrote " +
                std::to_string(length) + " bytes on " + _tag + " to " + _remoteEndpoint.address().to_string() + " (" +
                excerpt + (write.goodbye ? "...) " : "...)"));
    }
}

bool TcpSocket::flushAfterClose(const boost::system::error_code& error, std::size_t written, Write& write) {
    if (!_closeWhenFlushed) {
        return false;
    }
    // Closed while a goodbye waited: finish this line and the goodbyes, then close.
    write.offset += written;
    if (!error && write.offset < write.text.size()) {
        return true;
    }
    if (error || _waitingGoodbyes.Empty()) {
        finishFlush();
        return false;
    }
    auto goodbye = std::make_shared<Write>(Write{_waitingGoodbyes.Pop(), 0});
    _goodbyeInFlight = true;
    if (auto* sink = Sink()) {
        // The connection is closing already: a sink that throws only loses its dump.
        callSink("LogTraffic", [&] { sink->LogTraffic(false, _remoteEndpoint, goodbye->text, GetState() == Tls); });
    }
    writeRest(goodbye);
    return false;
}

bool TcpSocket::OnSendData(const boost::system::error_code& error, std::size_t written,
                           const std::shared_ptr<Write>& write) {
    if (IsFinalized()) {
        return flushAfterClose(error, written, *write);
    }
    if (!write->goodbye) {
        Trace("ZK7255I TcpSocket::OnSendData begin");
    }
    if (error) {
        // Nothing more can be written: a waiting goodbye must not hold the close.
        _writingBytes = 0;
        _waitingGoodbyes.Clear();
        _goodbyeInFlight = false;
        closeNow();
        if (write->goodbye) {
            Warning(std::string("ZK7264W ") + transportName() + " write failed");
            return false;
        }
        Warning(std::string("ZK7256W ") + transportName() + " write failed", error.message());
        Trace("ZK7260I TcpSocket::OnSendData end");
        return false;
    }
    if (written > 0) {
        // Output reached the peer: one that reads at a pace is not what fills the node's
        // bound.
        _outputShare.Moved(written);
        const auto writtenAt = std::chrono::steady_clock::now();
        if (write->ordinal != 0 && write->ordinal == _requestWrite.ordinal) {
            noteWritten(_requestWrite, written, writtenAt);
        } else if (_otherWrite.at != std::chrono::steady_clock::time_point{}) {
            noteWritten(_otherWrite, written, writtenAt);
        }
    }
    logWritten(*write, written);
    write->offset += written;
    if (write->offset < write->text.size()) {
        Summary(std::string("ZK7258I ") + transportName() +
                " write incomplete. Remaining bytes: " + std::to_string(write->text.size() - write->offset));
        Trace("ZK7260I TcpSocket::OnSendData end");
        return true;
    }
    if (_otherWrite.at != std::chrono::steady_clock::time_point{}) {
        // Its time on the wire is over: what ran ahead is not carried to the next line.
        _outputStall.total = StalledOutput(_otherWrite.at).total;
        _otherWrite = {};
    }
    _writingBytes = 0;
    shrinkOutputShare();
    if (write->ordinal != 0 && write->ordinal == _requestWrite.ordinal) {
        // The peer has it all: from here on only its answer is awaited.
        _requestWrite.done = true;
        _requestWrite.behind = std::max(std::chrono::steady_clock::duration::zero(), _requestWrite.behind);
    }
    if (write->goodbye) {
        // Outside the lock-step: only the write is over. A goodbye is a send too: a
        // connection marked to close after its next send (a refused peer) closes now.
        _goodbyeInFlight = false;
        SetSendingMsg(false);
        if (CloseAfterSend()) {
            closeNow();
            return false;
        }
        SendTheNextMsg(_sendingLockStep);
        return false;
    }
    Debug("ZK7259I TcpSocket::OnSendData message is sent", write->command);
    SetLockStepReceiving(false);
    SetSendingMsg(false);
    if (CloseAfterSend()) {
        closeNow();
    }
    if (auto* sink = Sink()) {
        if (auto keep = self()) {
            if (write->command == "block") {
                callSink("MessageBlockSent", [&] { sink->MessageBlockSent(keep, _forwardInfo); });
            } else if (write->command == "@block") {
                callSink("MessageBlockReplySent", [&] { sink->MessageBlockReplySent(keep); });
            }
        }
    }
    SendTheNextMsg(_sendingLockStep);
    Trace("ZK7260I TcpSocket::OnSendData end");
    return false;
}

void TcpSocket::sinkFailed(const char* name, const char* what) {
    Error("ZK7270E Sink call failed, closing conn: " + _tag, std::string(name) + ": " + what);
    closeNow();
}

void TcpSocket::SendGoodbye() {
    onLoop([this] {
        if (IsFinalized()) {
            return;
        }
        Goodbye goodbye;
        goodbye.SetParameter(Param::reason, "shutdown");
        // The route of the connection, without any sender hash an earlier line carried.
        MessageForwardInfo header;
        header.SetTargetPaths(_forwardInfo.GetTargetPaths());
        header.SetSourcePaths(_forwardInfo.GetSourcePaths());
        SendGoodbye(goodbye.Build(header, true));
    });
}

void TcpSocket::SendGoodbye(std::string text) {
    if (text.empty()) {
        return;
    }
    onLoop([this, text = std::move(text)]() mutable {
        if (IsFinalized()) {
            return;
        }
        if (!SocketIsOpen()) {
            Warning(GetState() == Tls ? "ZK7261W SendData called on closed socket" : "ZK7262W SendData called on closed socket");
            return;
        }
        // Written by the one writer like every line, so that it never interleaves with a
        // running write and never blocks the loop on a peer that stopped reading.
        if (enqueue(_waitingGoodbyes, {std::move(text), "goodbye", true})) {
            SendTheNextMsg(_sendingLockStep);
        }
    });
}

}  // namespace Zelkor
