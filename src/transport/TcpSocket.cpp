#include "transport/TcpSocket.h"

#include <algorithm>
#include <array>
#include <sstream>

#include <boost/asio/error.hpp>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "core/RequestErrors.h"
#include "transport/SocketOptions.h"
#include "transport/SocketSink.h"

namespace Zelkor {

namespace {

std::string tagOf(const void* object) {
    std::ostringstream text;
    text << object;
    const std::string full = text.str();
    return full.size() > 4 ? full.substr(full.size() - 4) : full;
}

}  // namespace

TcpSocket::TcpSocket(boost::asio::io_context& io, boost::asio::ssl::context& tls, bool client,
                     unsigned short port, bool redundant)
    : Socket(io, port, FirstReadSize),
      _sslContext(tls),
      _socket(io),
      _client(client),
      _redundant(redundant),
      _tag(tagOf(this)),
      _flushTimer(io),
      _idleTimer(io) {
    SetLogModuleName("TCPS");
}

TcpSocket::~TcpSocket() = default;

bool TcpSocket::onLoopThread() const { return IoContext().get_executor().running_in_this_thread(); }

std::shared_ptr<TcpSocket> TcpSocket::self() { return weak_from_this().lock(); }

void TcpSocket::SetState(State state) {
    _myState.store(state);
    Trace("ZK7200I State set to", static_cast<int>(state));
}

void TcpSocket::IsAuthenticated(bool on) {
    _authenticate.store(on);
    if (!on) {
        _kasdorAuthenticated.store(false);
    }
}

void TcpSocket::IsKasdorAuthenticated(bool on) {
    _kasdorAuthenticated.store(on);
    if (on) {
        _authenticate.store(true);
    }
}

std::string TcpSocket::InterfaceName() const {
    std::lock_guard<std::mutex> lock(_interfaceNameMutex);
    return _interfaceName;
}

void TcpSocket::SetInterfaceName(const std::string& name) {
    std::lock_guard<std::mutex> lock(_interfaceNameMutex);
    _interfaceName = name;
}

boost::asio::ip::tcp::socket& TcpSocket::GetBasicSocket() {
    return _tls ? _tls->next_layer() : _socket;
}

bool TcpSocket::descriptorOpen() const { return _tls ? _tls->next_layer().is_open() : _socket.is_open(); }

bool TcpSocket::SocketIsOpen() {
    if (!onLoopThread()) {
        // The loop mirrors every change of the descriptor into this flag.
        return _descriptorOpen.load() && (GetState() != Handshaking);
    }
    if (GetState() == Tls) {
        return _tls && _tls->lowest_layer().is_open();
    }
    // During the handshake the connection lives in the TLS stream: the plain socket is
    // closed and the connection counts as not open.
    return !_tls && _socket.is_open();
}

bool TcpSocket::SocketIsConnected() {
    if (!SocketIsOpen()) {
        return false;
    }
    if (!onLoopThread()) {
        return _connected.load();
    }
    boost::system::error_code error;
    GetBasicSocket().remote_endpoint(error);
    if (error) {
        Debug("ZK7201I TcpSocket::SocketIsConnected remote_endpoint returned error", error.message());
        return false;
    }
    return true;
}

void TcpSocket::Connect(const boost::asio::ip::address& address, unsigned short port,
                        const std::string& /*interfaceName*/, ConnectHandler done) {
    const boost::asio::ip::tcp::endpoint target(address, port);
    // Marked before the hop onto the loop: a caller that looks again before the loop got
    // to it must not start a second connect over the first.
    if (_connectPending.exchange(true)) {
        postConnectResult(std::move(done), boost::asio::error::already_started);
        return;
    }
    SetOutgoing(true);
    {
        std::lock_guard<std::mutex> lock(_endpointMutex);
        _connectTarget = target;
    }
    onLoop([this, target, done = std::move(done)]() mutable { connectNow(target, std::move(done)); });
}

void TcpSocket::postConnectResult(ConnectHandler done, const boost::system::error_code& error) {
    if (!done) {
        return;
    }
    // Never inline: the caller may hold its own locks around Connect.
    boost::asio::post(IoContext(), [keep = self(), done = std::move(done), error] { done(keep, error); });
}

void TcpSocket::connectNow(const boost::asio::ip::tcp::endpoint& target, ConnectHandler done) {
    if (IsFinalized()) {
        // A closed connection is never reopened; its owner must still hear that the
        // connect is over, or it waits for it for good.
        SetConnectPending(false);
        postConnectResult(std::move(done), boost::asio::error::bad_descriptor);
        return;
    }
    boost::system::error_code error;
    _socket.open(target.protocol(), error);
    if (error) {
        Error("ZK7203E Error opening socket", error.message());
        SetConnectPending(false);
        postConnectResult(std::move(done), error);
        return;
    }
    _descriptorOpen.store(true);
    SetSocketOptions();
    Summary("ZK7206I Connecting to " + target.address().to_string() + ":" + std::to_string(target.port()));
    _socket.async_connect(target, [keep = self(), this, target, done = std::move(done)](const boost::system::error_code& result) {
        SetConnectPending(false);
        if (IsFinalized()) {
            return;
        }
        OnConnect(target, result);
        if (done) {
            done(keep, result);
        }
    });
}

void TcpSocket::SetSocketOptions() {
    // A refused option costs efficiency, not correctness: log it and keep the connection.
    boost::system::error_code error;
    SetConnectionOptions(GetBasicSocket(), error);
    if (error) {
        Warning("ZK7205W Socket option not set on conn: " + _tag, error.message());
    }
}

void TcpSocket::cacheEndpoints(const char* localText, const char* remoteText) {
    auto& socket = GetBasicSocket();
    boost::system::error_code error;
    const auto local = socket.local_endpoint(error);
    if (error) {
        Warning(localText, error.message());
    } else {
        std::lock_guard<std::mutex> lock(_endpointMutex);
        _localEndpoint = local;
    }
    const auto remote = socket.remote_endpoint(error);
    if (error) {
        Warning(remoteText, error.message());
    } else {
        std::lock_guard<std::mutex> lock(_endpointMutex);
        _remoteEndpoint = remote;
    }
}

boost::asio::ip::tcp::endpoint TcpSocket::RemoteEndpoint() const {
    std::lock_guard<std::mutex> lock(_endpointMutex);
    return _remoteEndpoint;
}

boost::asio::ip::tcp::endpoint TcpSocket::ConnectTarget() const {
    std::lock_guard<std::mutex> lock(_endpointMutex);
    return _connectTarget;
}

boost::system::error_code TcpSocket::ConnectError() const {
    std::lock_guard<std::mutex> lock(_endpointMutex);
    return _connectError;
}

boost::system::error_code TcpSocket::HandshakeError() const {
    std::lock_guard<std::mutex> lock(_endpointMutex);
    return _handshakeError;
}

boost::asio::ip::tcp::endpoint TcpSocket::LocalEndpoint() const {
    std::lock_guard<std::mutex> lock(_endpointMutex);
    return _localEndpoint;
}

void TcpSocket::OnConnect(const boost::asio::ip::tcp::endpoint& target, const boost::system::error_code& error) {
    auto keep = self();
    if (error) {
        {
            std::lock_guard<std::mutex> lock(_endpointMutex);
            _connectError = error;
        }
        Warning("ZK7209W Connect failed to " + target.address().to_string() + ":" + std::to_string(target.port()) +
                " (" + error.message() + ")");
        if (auto* sink = Sink(); sink && keep) {
            callSink("SocketRejected", [&] { sink->SocketRejected(keep); });
        }
        return;
    }
    cacheEndpoints("ZK7210W Exception on local_endpoint", "ZK7211W Exception on remote_endpoint");
    _connected.store(true);
    _lastLineAt = std::chrono::steady_clock::now();
    Info("ZK7212I Connected to " + _remoteEndpoint.address().to_string() + ":" + std::to_string(_remoteEndpoint.port()));
    if (auto* sink = Sink(); sink && keep && !callSink("SocketConnected", [&] { sink->SocketConnected(keep, true); })) {
        return;
    }
    DoReceive();
}

void TcpSocket::OnAccept() {
    _descriptorOpen.store(_socket.is_open());
    cacheEndpoints("ZK7213W Exception on local_endpoint", "ZK7214W Exception on remote_endpoint");
    SetSocketOptions();
    _connected.store(true);
    // A listener's socket may wait long for its peer: silence counts from the connection.
    _lastLineAt = std::chrono::steady_clock::now();
    if (auto* sink = Sink(); sink) {
        if (auto keep = self(); keep && !callSink("SocketConnected", [&] { sink->SocketConnected(keep, false); })) {
            return;
        }
    }
    DoReceive();
}

void TcpSocket::Handshake() {
    onLoop([this] { handshakeNow(); });
}

void TcpSocket::handshakeNow() {
    if (IsFinalized()) {
        return;
    }
    if (_tls) {
        // A second "starttls" would swap the live stream for a new one over the same
        // descriptor and leave both sides talking past each other.
        PeerError(Join("ZK7266E Second TLS handshake refused on conn: ", _tag));
        closeNow();
        return;
    }
    SetState(Handshaking);
    _handshakeStartedAt = std::chrono::steady_clock::now();
    if (_sendingMsg) {
        // The plain write still running, or a reply waiting behind it, is usually the
        // "@starttls" answer the peer waits for before its own handshake: let them out
        // first. Replies that come later wait for the secured stream.
        _handshakeAfterWrite = true;
        _repliesBeforeHandshake = _priorityQueue.Size();
        return;
    }
    beginHandshake();
}

void TcpSocket::beginHandshake() {
    // Ends the plain read quietly: its completion finds the handshake state.
    boost::system::error_code error;
    _socket.cancel(error);
    // Plain bytes after the "starttls" exchange belong to no line of the secured stream,
    // and what the peer said in plain text, which anyone on the way could have said, is
    // not carried into it.
    _framer.Clear();
    _answeredGuid.clear();
    _inputShare.Release();
    _tls = std::make_shared<TlsStream>(std::move(_socket), _sslContext);
    _tls->set_verify_mode(boost::asio::ssl::verify_peer, error);
    _tls->set_verify_callback(
        [this](bool preverified, boost::asio::ssl::verify_context& context) { return VerifyCert(preverified, context); },
        error);
    const bool client = IsClient();
    Summary("ZK7215I Starting handshake", client ? "client" : "server");
    _tls->async_handshake(client ? boost::asio::ssl::stream_base::client : boost::asio::ssl::stream_base::server,
                          [keep = self(), tls = _tls, this](const boost::system::error_code& result) { OnHandshake(result); });
}

bool TcpSocket::VerifyCert(bool /*preverified*/, boost::asio::ssl::verify_context& context) {
    // Every chain is accepted: peers prove themselves by the verification code, the
    // certificate only serves the log.
    std::array<char, 512> subject{};
    if (X509* cert = X509_STORE_CTX_get_current_cert(context.native_handle())) {
        X509_NAME_oneline(X509_get_subject_name(cert), subject.data(), static_cast<int>(subject.size()));
    }
    Detail(std::string("ZK7216I TLS verify cert (") + subject.data() + ")");
    return true;
}

bool TcpSocket::SamePeerKey(const TcpSocket& other) const {
    if (GetState() != Tls || other.GetState() != Tls || !_tls || !other._tls) {
        return false;
    }
    const X509* mine = SSL_get0_peer_certificate(_tls->native_handle());
    const X509* theirs = SSL_get0_peer_certificate(other._tls->native_handle());
    if (!mine || !theirs) {
        return false;
    }
    const EVP_PKEY* key = X509_get0_pubkey(mine);
    const EVP_PKEY* otherKey = X509_get0_pubkey(theirs);
    return key && otherKey && EVP_PKEY_eq(key, otherKey) == 1;
}

void TcpSocket::OnHandshake(const boost::system::error_code& error) {
    if (IsFinalized()) {
        // Closed while the handshake ran: SocketClosed was the last word.
        return;
    }
    auto keep = self();
    if (error) {
        {
            std::lock_guard<std::mutex> lock(_endpointMutex);
            _handshakeError = error;
        }
        if (auto* sink = Sink(); sink && keep) {
            callSink("SocketRejected", [&] { sink->SocketRejected(keep); });
        }
        PeerWarning(Join("ZK7217I TLS Handshake failed on conn: ", _tag));
        return;
    }
    SetState(Tls);
    const SSL_CIPHER* cipher = SSL_get_current_cipher(_tls->native_handle());
    PeerInfo(Join("ZK7218I TLS handshake OK (", cipher ? SSL_CIPHER_get_name(cipher) : "", ") on ", _tag));
    if (auto* sink = Sink(); sink && keep && !callSink("SocketSecured", [&] { sink->SocketSecured(keep); })) {
        return;
    }
    DoReceive();
    // Whatever was held back during the handshake may go now.
    SendTheNextMsg(_sendingLockStep);
}

void TcpSocket::Close() {
    onLoop([this] { closeNow(); });
}

void TcpSocket::AbandonHandshake() {
    onLoop([this] {
        if (IsFinalized() || GetState() != Handshaking) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(_endpointMutex);
            _handshakeError = boost::asio::error::timed_out;
        }
        // Closed first, the handshake's own completion finds the socket finalized and
        // reports nothing: the application hears why here.
        if (auto* sink = Sink(); sink) {
            if (auto keep = self()) {
                callSink("SocketRejected", [&] { sink->SocketRejected(keep); });
            }
        }
        closeNow();
    });
}

void TcpSocket::closeNow() {
    if (!Finalize()) {
        return;
    }
    keepLost();
    Clear();
    _priorityQueue.Clear();
    _passQueue.Clear();
    _endedRequests.clear();
    _awaited.Clear();
    _framer.Clear();
    _inputShare.Release();
    // A line still being written, or a goodbye flushed, goes with the descriptor soon.
    _outputShare.Release();
    _idleTimer.cancel();
    // A closed connection forwards nothing more; two forwarding connections must not keep
    // each other alive.
    _returnRoute.reset();
    // A goodbye being written, or waiting behind a write, goes first; only a running loop
    // can finish it.
    if ((_goodbyeInFlight || !_waitingGoodbyes.Empty()) && _sendingMsg && descriptorOpen() && !IoContext().stopped()) {
        _closeWhenFlushed = true;
        _flushTimer.expires_after(_closeFlushTimeout);
        _flushTimer.async_wait([keep = self(), this](const boost::system::error_code& error) {
            if (!error && _closeWhenFlushed) {
                PeerWarning(Join("ZK7268W Goodbye not written in time, closing conn: ", _tag));
                finishFlush();
            }
        });
        return;
    }
    _waitingGoodbyes.Clear();
    closeDescriptor();
}

void TcpSocket::keepLost() {
    // Answered later, by ReportLost: a connection may close inside the handling of a line,
    // where no answer may run yet.
    _lost = _kept.Take();
    const auto keep = [this](OutgoingLine& line, std::string reason) {
        if (KeptRequests::AnsweredWhenLost(line.command)) {
            _lost.push_back(LostRequest{line.ordinal, line.command, KeptRequests::KeptOf(std::move(line.text)),
                                        std::move(reason)});
        }
    };
    for (auto& ended : _endedRequests) {
        keep(ended.request, ended.reason);
    }
    for (OutgoingQueue* queue : {&_passQueue, &_requestQueue}) {
        while (!queue->Empty()) {
            OutgoingLine line = queue->Pop();
            keep(line, {});
        }
    }
    std::stable_sort(_lost.begin(), _lost.end(),
                     [](const LostRequest& a, const LostRequest& b) { return a.ordinal < b.ordinal; });
}

void TcpSocket::ReportLost(const std::function<bool(const std::string& word, const std::string& line)>& answers) {
    std::vector<LostRequest> lost;
    lost.swap(_lost);
    auto* sink = Sink();
    auto keep = self();
    if (!sink || !keep || !answers) {
        return;
    }
    for (const auto& request : lost) {
        if (!answers(request.word, request.line)) {
            continue;
        }
        const Answering answering(_answered, {request.ordinal, request.word});
        // One answer that fails costs its own request only.
        callSink("RequestEnded", [&] {
            sink->RequestEnded(keep, request.line, request.reason.empty() ? kConnectionLost : request.reason);
        });
    }
}

void TcpSocket::finishFlush() {
    _closeWhenFlushed = false;
    _waitingGoodbyes.Clear();
    _flushTimer.cancel();
    closeDescriptor();
}

void TcpSocket::closeDescriptor() {
    _connected.store(false);
    _descriptorOpen.store(false);
    if (!descriptorOpen()) {
        return;
    }
    boost::system::error_code error;
    GetBasicSocket().close(error);
    if (error) {
        Warning("ZK7208W Error closing TCP socket", error.message());
    }
    if (auto* sink = Sink()) {
        if (auto keep = self()) {
            sink->SocketClosed(keep);
        }
    }
}

void TcpSocket::Clear() {
    _requestQueue.Clear();
    shrinkOutputShare();
    ClearUnresponsiveTimes();
}

void TcpSocket::SetUnresponsiveTimes() {
    _requestTime = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
    _responseTime = TimePoint{};
    // Chosen whole: a line built per request costs even when the level writes none.
    Detail(GetState() == Tls ? "ZK7207I TLS wait for reply started" : "ZK7207I TCP wait for reply started");
}

void TcpSocket::ClearUnresponsiveTimes() {
    _requestTime = TimePoint{};
    _responseTime = TimePoint{};
}

void TcpSocket::ReportCompletion(Completion::Code code, const std::string& text) {
    if (_completion) {
        auto handler = std::move(_completion);
        _completion = nullptr;
        handler(code, text);
    }
}

std::uint64_t TcpSocket::MaxQueueDepth() const {
    auto* sink = Sink();
    return sink ? sink->MaxQueueDepth() : 0;
}

}  // namespace Zelkor
