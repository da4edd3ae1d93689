#pragma once
// The connections ("cookies") by which a device's callbacks are attached to the
// services' per-word signals, one slot per callback. The device registers a handler once
// per slot and cuts them all when it disconnects or is finalized; the stored callbacks
// themselves stay with the device.
//
// Ownership: the holder owns the connections, not the signals. Threads: any thread; the
// holder's mutex is a leaf and is not held while a connection is cut (cutting may
// release a handler that owns the device).

#include <array>
#include <cstddef>
#include <mutex>

#include <boost/signals2/connection.hpp>

namespace Zelkor {

enum class Cookie : std::size_t {
    Publish,
    Locate,
    Subscribe,
    Unsubscribe,
    Poll,
    SubscribePoll,
    UnsubscribePoll,
    Freespace,
    DeleteFile,
    ListFiles,
    CreateDir,
    RemoveDir,
    Firmware,
    SubscribeEvent,
    UnsubscribeEvent,
    Event,
    SubLog,
    RawCommand,
    Log,
    UnsubLog,
    SetIP,
    Count,
};

class SignalCookies {
public:
    bool IsConnected(Cookie slot) const;
    // Keeps the connection in the slot; one still connected there is cut first.
    void Keep(Cookie slot, boost::signals2::connection connection);
    void DisconnectAll();

private:
    mutable std::mutex _mutex;
    std::array<boost::signals2::connection, static_cast<std::size_t>(Cookie::Count)> _cookies;
};

}  // namespace Zelkor
