// The main loop and the stop sequence.
//
// Run keeps the loop alive with a work guard until Stop, so an idle loop waits instead of
// spinning; an exception out of a handler is logged and the loop goes on. Stop runs its
// sequence on the loop, then lets the loop run until the connections it closed are gone
// (their goodbyes written) or StopFlushTime has passed, and only then ends it.

#include <chrono>
#include <exception>

#include "core/ZelkorLog.h"
#include "driver/ZelkorDriver.h"
#include "filetransfer/FileTransferService.h"
#include "services/SubscriptionService.h"
#include "transport/TcpServer.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

namespace Zelkor {

void ZelkorDriver::Run() {
    // Handlers hold the driver weakly: Run keeps it alive while it runs.
    const auto self = shared_from_this();
    {
        std::lock_guard<std::mutex> lock(_runMutex);
        if (_stopped.load() || _running) {
            return;
        }
        _running = true;
    }
    // However Run is left (an exception other than std::exception passes through), the
    // driver can be stopped, and run again, afterwards.
    struct Leaving {
        ZelkorDriver& driver;
        ~Leaving() {
            driver._workGuard.reset();
            std::lock_guard<std::mutex> lock(driver._runMutex);
            driver._running = false;
            driver._runChanged.notify_all();
        }
    } leaving{*this};
    Trace("ZK7861I Driver run start");
    InitCrypto();
    InitSSLContext();
    auto current = discovery();
    if (!current) {
        Error("ZK7862E Driver Run no discovery service");
    } else {
        if (current->ReplyDiscos()) {
            UpdateListenState();
            current->SendSendDiscoRequest();
        }
        current->StartTimer();
        _workGuard.emplace(_io.get_executor());
        for (;;) {
            try {
                _io.run();
                if (_stopped.load()) {
                    break;
                }
                _io.restart();
            } catch (const std::exception& error) {
                Error("ZK7863E Driver error", error.what());
            }
        }
        Trace("ZK7864I Driver run complete");
    }
}

void ZelkorDriver::Stop() {
    if (_stopped.exchange(true)) {
        return;
    }
    std::shared_ptr<SubscriptionService> subscriptions;
    {
        std::lock_guard<std::mutex> lock(_serviceMutex);
        subscriptions = _subscriptionService;
    }
    if (subscriptions) {
        subscriptions->Finalize();
    }
    if (onLoopThread()) {
        stopOnLoop();
        return;
    }
    std::unique_lock<std::mutex> lock(_runMutex);
    if (!_running) {
        // No loop serves the driver: the sequence runs here, and Run will not start.
        lock.unlock();
        stopOnLoop();
        return;
    }
    boost::asio::post(_io, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->stopOnLoop();
        }
    });
    // Bounded: a loop thread stuck in a handler does not hold the caller for ever.
    _runChanged.wait_for(lock, StopFlushTime + std::chrono::seconds(1), [this] { return !_running; });
}

bool ZelkorDriver::IsRunning() {
    std::lock_guard<std::mutex> lock(_runMutex);
    return _running;
}

bool ZelkorDriver::WaitUntilRunEnds() {
    std::unique_lock<std::mutex> lock(_runMutex);
    return _runChanged.wait_for(lock, StopFlushTime + std::chrono::seconds(1), [this] { return !_running; });
}

void ZelkorDriver::stopOnLoop() {
    // A listen-state run on another thread finishes first, so that what it opens is
    // closed here; later runs find the driver stopped.
    { std::lock_guard<std::mutex> settled(_listenRunMutex); }
    std::vector<std::shared_ptr<UdpSocket>> udp;
    {
        std::lock_guard<std::mutex> lock(_udpMutex);
        udp.insert(udp.end(), _udpSockets.begin(), _udpSockets.end());
        udp.insert(udp.end(), _anyUdpSockets.begin(), _anyUdpSockets.end());
    }
    for (const auto& socket : udp) {
        socket->Close();
    }
    std::vector<std::shared_ptr<TcpSocket>> pending;
    {
        std::lock_guard<std::mutex> lock(_pendingMutex);
        pending = _pending;
    }
    for (const auto& socket : pending) {
        if (socket) {
            socket->Close();
        }
    }
    if (auto current = discovery()) {
        current->Stop();
    }
    if (const auto transfers = fileTransfer()) {
        transfers->Stop();
    }
    std::vector<std::shared_ptr<TcpServer>> listeners;
    {
        std::lock_guard<std::mutex> lock(_listenerMutex);
        listeners = _listeners;
    }
    for (const auto& listener : listeners) {
        listener->Close();
    }
    _errorSignal -= _errorConnection;
    // Whatever still reports to the driver is served no more: close it, so that its
    // peer learns it now and not when the loop's context goes.
    for (const auto& socket : _live.Connections()) {
        socket->Close();
    }
    if (!onLoopThread()) {
        // No loop runs: nothing can be waited for.
        finishStop();
        return;
    }
    _draining = true;
    _drainTimer = std::make_unique<boost::asio::steady_timer>(_io, StopFlushTime);
    _drainTimer->async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
        auto self = weak.lock();
        if (!error && self && self->_draining) {
            self->Warning("ZK78F5W Stop gave up waiting for connections to close");
            self->finishStop();
        }
    });
    checkDrained();
}

void ZelkorDriver::checkDrained() {
    if (!_draining) {
        return;
    }
    for (const auto& socket : _live.Connections()) {
        // A closing connection still writing its goodbye has not reported its close yet.
        if (socket->IsFinalized()) {
            return;
        }
    }
    finishStop();
}

void ZelkorDriver::finishStop() {
    _draining = false;
    if (_drainTimer) {
        _drainTimer->cancel();
    }
    // What a peer's lines left out while the node ran is told now, through the
    // application's sink while it is still there; no later line may come to carry it.
    ZelkorLog::TheLog().WriteLeftOut();
    if (onLoopThread()) {
        _workGuard.reset();
    }
    _io.stop();
}

}  // namespace Zelkor
