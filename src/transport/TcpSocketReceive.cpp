// Receive path of a TCP connection: the read chain, framing at "\n", the header parse,
// the filter while a handshake runs, and the lock-step release when a reply arrives.
// Unfinished lines are bounded per connection and, summed over all connections, by the
// node-wide input budget, to which the receive path reports what the peer moves.

#include <algorithm>

#include "transport/LinuxPlatform.h"
#include "transport/SocketSink.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

const char* onOff(bool value) { return value ? "1" : "0"; }

}  // namespace

void TcpSocket::DoReceive() {
    if (IsFinalized()) {
        Debug("ZK7229I TcpSocket is finalized");
        return;
    }
    if (GetState() == Handshaking) {
        // The connection belongs to the handshake: a plain read now could swallow the
        // peer's first TLS bytes. Reading resumes over TLS once the handshake succeeded.
        return;
    }
    if (!SocketIsOpen()) {
        Warning("ZK7230W DoReceive called on closed socket.");
        closeNow();
        return;
    }
    auto buffer = boost::asio::buffer(_receiveBuffer);
    auto done = [keep = self(), tls = _tls, this](const boost::system::error_code& error, std::size_t bytes) {
        OnReceive(error, bytes);
        if (!error) {
            DoReceive();
        }
    };
    if (GetState() == Tls) {
        _tls->async_read_some(buffer, std::move(done));
    } else {
        _socket.async_read_some(buffer, std::move(done));
    }
}

bool TcpSocket::AllowedAtAuthentication(const std::string& word) const {
    if (word == "starttls" || word == "@starttls" || word == "@error" || word == "@unrecognized") {
        return true;
    }
    if (word == "authenticate" || word == "@authenticate" || word == "setverificationcode" ||
        word == "@setverificationcode") {
        return GetState() == Tls;
    }
    return false;
}

void TcpSocket::OnReceive(const boost::system::error_code& error, std::size_t bytes) {
    if (IoContext().stopped()) {
        Debug("ZK7231I io_context is stopped");
        Finalize();
        return;
    }
    if (IsFinalized()) {
        Debug("ZK7232I TcpSocket is finalized");
        return;
    }
    if (error == boost::asio::error::operation_aborted && _readShrinking) {
        // The idle read was ended to give its buffer back: it starts again on a small one.
        _readShrinking = false;
        std::vector<char>(FirstReadSize).swap(_receiveBuffer);
        _smallReads = 0;
        DoReceive();
        return;
    }
    _readShrinking = false;
    if (error) {
        // During a handshake this is the cancelled plain read; the handshake decides.
        if (GetState() != Handshaking) {
            closeNow();
        }
        return;
    }
    if (bytes == 0) {
        markReceiving();
        releaseReceiving();
        return;
    }
    _lastReadAt = std::chrono::steady_clock::now();
    _framer.Append(_receiveBuffer.data(), bytes);
    sizeReadBuffer(bytes);
    while (_framer.Next(_line)) {
        markReceiving();
        handleLine(_line);
        if (IsFinalized()) {
            return;
        }
    }
    // One long line must not pin its buffer here either.
    if (_line.capacity() > LineFramer::KeepCapacity) {
        std::string().swap(_line);
    }
    if (_framer.Overflowed()) {
        PeerError(Join("ZK7267E Line exceeds the length limit, closing conn: ", _tag), _framer.MaxLineLength());
        closeNow();
        return;
    }
    if (!_budgetWatched) {
        // Another connection's growth may take this one's place in the budget.
        _inputShare.OnEvicted([weak = weak_from_this()] {
            if (auto evicted = weak.lock()) {
                // The same line as a refusal for the budget: the node-wide bound it passed.
                evicted->PeerError(Join("ZK7267E Line exceeds the length limit, closing conn: ", evicted->_tag),
                                   ByteBudget::Input().Limit());
                evicted->Close();
            }
        });
        _budgetWatched = true;
    }
    if (_framer.PendingSize() >= ByteBudget::SmallShare) {
        _inputShare.SetSource(_remoteEndpoint.address(), carriesRequesters());
    }
    // What of the read went into the unfinished line: whether its sender keeps sending at
    // a pace, not merely sending.
    const std::size_t moved = std::min(bytes, _framer.PendingSize());
    if (moved > 0 && _awaited.Size() > 0) {
        // An answer awaited may be this line: what comes in at the pace of the node's input
        // bound is time the peer spends answering, not time it keeps the answer back.
        const std::size_t pace = std::max(ByteBudget::SmallShare, _framer.PendingSize() / ByteBudget::PaceFraction);
        const auto bought = std::chrono::duration_cast<std::chrono::steady_clock::duration>(ByteBudget::ProgressWindow) *
                            static_cast<std::int64_t>(moved) / static_cast<std::int64_t>(pace);
        _inputCredit += bought;
        _lineCredit += bought;
    }
    if (!_inputShare.Resize(_framer.PendingSize(), _framer.MaxLineLength(), moved)) {
        PeerError(Join("ZK7267E Line exceeds the length limit, closing conn: ", _tag), ByteBudget::Input().Limit());
        closeNow();
        return;
    }
    if (_framer.PendingSize() == 0 && !_idleWatched && SpareBufferBytes() > ByteBudget::SmallShare) {
        watchIdle(_lastReadAt);
    }
}

std::size_t TcpSocket::SpareBufferBytes() const {
    const std::size_t read = _receiveBuffer.size() > FirstReadSize ? _receiveBuffer.size() - FirstReadSize : 0;
    return read + _framer.Capacity() - _framer.PendingSize() + _line.capacity();
}

void TcpSocket::watchIdle(std::chrono::steady_clock::time_point from) {
    _idleWatched = true;
    _idleTimer.expires_at(from + IdleShrinkDelay);
    _idleTimer.async_wait([keep = self(), this](const boost::system::error_code& error) {
        _idleWatched = false;
        if (!error && !IsFinalized()) {
            shrinkIfIdle();
        }
    });
}

void TcpSocket::shrinkIfIdle() {
    if (_framer.PendingSize() != 0) {
        // A line is coming in: its reads watch again once it is done.
        return;
    }
    if (std::chrono::steady_clock::now() - _lastReadAt < IdleShrinkDelay) {
        watchIdle(_lastReadAt);
        return;
    }
    _framer.Clear();
    std::string().swap(_line);
    Platform::ReturnFreeMemory();
    // The waiting read owns the read buffer: it is ended first, and its completion gives
    // the buffer back. Ending it ends every wait on the descriptor, so only while no write
    // runs (a torn write would break the stream) and no handshake owns the connection.
    // A secured stream's read may write on its own (a key update): it is never ended, and
    // its records fill no grown buffer anyway.
    if (_receiveBuffer.size() > FirstReadSize && !_readShrinking && GetState() != Tls) {
        if (_sendingMsg || GetState() == Handshaking) {
            // Looked at again a delay from now: a wait measured from the last read, long
            // past, would end at once, again and again, keeping the connection alive.
            watchIdle(std::chrono::steady_clock::now());
            return;
        }
        boost::system::error_code ignored;
        _readShrinking = true;
        GetBasicSocket().cancel(ignored);
    }
}

void TcpSocket::sizeReadBuffer(std::size_t bytes) {
    // A read that filled the buffer left more waiting: the next one gets twice the room,
    // up to a bound, so that a long line (a file block) comes in one read rather than a
    // full one and a short rest, each a turn of the loop.
    // A run of small reads, not one between two blocks, gives it back.
    constexpr std::size_t largestRead = LineFramer::KeepCapacity;
    constexpr unsigned smallReadsToShrink = 64;
    const std::size_t size = _receiveBuffer.size();
    if (bytes == size && size < largestRead) {
        _receiveBuffer.resize(std::min(size * 2, largestRead));
    }
    if (size <= FirstReadSize || bytes >= size / 8) {
        _smallReads = 0;
    } else if (++_smallReads >= smallReadsToShrink && _framer.PendingSize() == 0) {
        std::vector<char>(FirstReadSize).swap(_receiveBuffer);
        _smallReads = 0;
    }
}

void TcpSocket::markReceiving() {
    if (!_receivingLockStep && !_sendingLockStep) {
        SetLockStepReceiving(true);
    }
    if (!_receivingMsg) {
        SetReceivingMsg(true);
    }
}

void TcpSocket::releaseReceiving() {
    SetLockStepReceiving(false);
    SetReceivingMsg(false);
}

void TcpSocket::handleLine(std::string& line) {
    LineFramer::StripFront(line);
    if (line.empty()) {
        // Only this line is skipped; the lines behind it in the same read still count.
        releaseReceiving();
        return;
    }
    _lastLineAt = std::chrono::steady_clock::now();
    _spoken = true;
    // What the line bought while it came in is kept only if it turns out to be an answer:
    // a peer's long lines of other kinds buy an answer it keeps back no time.
    const auto lineCredit = std::exchange(_lineCredit, std::chrono::steady_clock::duration{});
    _inputCredit -= lineCredit;
    // The header takes the line, a file block's included, rather than a copy of its body:
    // from here on the line is the header's text.
    MessageForwardInfo header;
    if (!header.TakeReceived(line)) {
        // The rest of a rejected line is empty, as the text logged has always been.
        PeerError("ZK7233E Invalid message", std::string());
        releaseReceiving();
        return;
    }
    const std::string command = header.GetCommand();
    if (header.SourceList().size() >= 2) {
        _carriesRoutedLines = true;
    }
    if (GetState() == Handshaking && !AllowedAtAuthentication(command)) {
        PeerError(Join("ZK7234E Message not allowed at state authentication: ", command));
        releaseReceiving();
        return;
    }
    const bool reply = header.isReply;
    ConnectionRequest answered = reply ? _awaited.Answer(command, header.SourceList()) : ConnectionRequest{};
    if (answered.ordinal != 0) {
        _kept.Answered(answered.ordinal);
        _inputCredit += lineCredit;
    }
    // A router's word that a requester is gone comes as the refusal of a notice, and may
    // come for a requester this connection has nothing on its way to: answering none of
    // the notices awaited here, it must not let the next one go while they are still
    // unanswered, or strangers coming and going at the router would let a device's
    // notices pile up unanswered on the link every requester shares.
    const bool releases = reply && !(answered.ordinal == 0 && refusesNotice(command, header));
    const Answering answering(_answered, std::move(answered));
    if (releases) {
        _responseTime = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
        if (_sendingLockStep) {
            SetLockStepSending(false);
        }
    }
    const std::string& text = header.Text();
    if (text.size() >= 2 && LogLevel() >= 4) {
        const std::size_t length = text.size() - 1;
        Summary(std::string("ZK7235I ") + transportName() + " read " + std::to_string(length) + " bytes on " + _tag +
                " from " + _remoteEndpoint.address().to_string() + " (" + Excerpt(text.data(), length) + "...) ");
    }
    SetReceivingMsg(false);
    auto keep = self();
    // The request is answered before anyone acts on the reply: a handler that sends the
    // next request at once then starts its wait afresh instead of seeing it cleared
    // behind it, and the sink hears of the reply even when it closes the connection on it.
    const TimePoint requestSent = _requestTime;
    if (releases) {
        _requestTime = TimePoint{};
        if (auto* sink = Sink(); sink && keep && !callSink("ClearRequestTime", [&] { sink->ClearRequestTime(keep); })) {
            return;
        }
    }
    if (auto* sink = Sink(); sink && keep) {
        if (!callSink("LogTraffic", [&] { sink->LogTraffic(true, _remoteEndpoint, text, GetState() == Tls); }) ||
            !callSink("MessageReceived", [&] { sink->MessageReceived(keep, header, requestSent, _responseTime); })) {
            return;
        }
    }
    if (IsFinalized()) {
        return;
    }
    if (!_sendingMsg) {
        SendTheNextMsg(_sendingLockStep);
    }
}

bool TcpSocket::refusesNotice(const std::string& word, const MessageForwardInfo& header) {
    if (!AwaitedRequests::IsNotice(word)) {
        return false;
    }
    const Json::Value& body = header.JsonBody();
    return body.isObject() && body.isMember("error");
}

void TcpSocket::setFlag(bool& flag, bool on, const char* alreadyOn, const char* alreadyOff, const char* setText) {
    if (on && flag && alreadyOn) {
        Error(alreadyOn);
    } else if (!on && !flag && alreadyOff) {
        Error(alreadyOff);
    }
    flag = on;
    // Four of these run for every line: the text is built only when it will be written.
    if (LogLevel() >= 6) {
        Trace(std::string(setText) + onOff(on) + " on " + _tag);
    }
}

void TcpSocket::SetLockStepSending(bool on) {
    setFlag(_sendingLockStep, on, "ZK7219I sending LockStep already active", nullptr, "ZK7220I _sendingLockStep set to ");
}

void TcpSocket::SetLockStepReceiving(bool on) {
    setFlag(_receivingLockStep, on, "ZK7221I receiving LockStep already active", nullptr,
            "ZK7222I _receivingLockStep set to ");
}

void TcpSocket::SetSendingMsg(bool on) {
    setFlag(_sendingMsg, on, "ZK7223I _sendingMsg already on", "ZK7224I _sendingMsg already off",
            "ZK7225I _sendingMsg set to ");
}

void TcpSocket::SetReceivingMsg(bool on) {
    setFlag(_receivingMsg, on, "ZK7226I _receivingMsg already on", "ZK7227I _receivingMsg already off",
            "ZK7228I _receivingMsg set to ");
}

}  // namespace Zelkor
