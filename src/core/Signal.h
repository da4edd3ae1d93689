#pragma once
// A typed signal that calls its observers and functions, in connection order,
// synchronously on the thread that raises it.
//
// Ownership: the owner (a service or the driver) holds the signal; observers are held by
// plain pointer and must detach before they go. Threads: raising, Connect and the
// connections' own disconnect are safe from any thread (Boost.Signals2); operator+= and
// operator-= keep a record of observers and are called from one thread at a time.

#include <algorithm>
#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include <boost/signals2/connection.hpp>
#include <boost/signals2/signal.hpp>

#include "core/ISignalObserver.h"

namespace Zelkor {

template <class T>
class Signal {
public:
    Signal() = default;
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    // Attaches an observer after the existing slots; the caller keeps the connection to
    // detach it. A null observer is not attached (an empty connection comes back).
    boost::signals2::connection operator+=(ISignalObserver<T>* observer) {
        forgetDisconnected();
        if (!observer) {
            return boost::signals2::connection();
        }
        auto connection = _signal.connect([observer](T& value) { observer->SignalRaised(value); });
        _observers.emplace_back(connection, observer);
        return connection;
    }

    // Disconnects `c` when it is still connected and forgets its record; an empty or
    // already disconnected connection is harmless.
    boost::signals2::connection& operator-=(boost::signals2::connection& c) {
        c.disconnect();
        forgetDisconnected();
        return c;
    }

    // Attaches a function after the existing slots; no record is kept.
    boost::signals2::connection Connect(std::function<void(T&)> fn) { return _signal.connect(std::move(fn)); }

    void Raise(T& value) { _signal(value); }

    // Observers attached by operator+= and not yet detached.
    std::size_t ObserverCount() const {
        std::size_t count = 0;
        for (const auto& record : _observers) {
            count += record.first.connected() ? 1 : 0;
        }
        return count;
    }

private:
    // A connection's ordering changes once its slot is gone, so the records are a plain
    // list, pruned of connections that are no longer connected.
    void forgetDisconnected() {
        _observers.erase(std::remove_if(_observers.begin(), _observers.end(),
                                        [](const auto& record) { return !record.first.connected(); }),
                         _observers.end());
    }

    boost::signals2::signal<void(T&)> _signal;
    std::vector<std::pair<boost::signals2::connection, ISignalObserver<T>*>> _observers;
};

}  // namespace Zelkor
