#pragma once
// Base interface of every service: the application connects its own functions to any
// command word the service handles. Every service interface derives from it.
//
// Ownership: the service keeps a copy of each handler for as long as it stays connected.
// Handlers run on the thread that raises the word's signal (the event loop).

#include <functional>
#include <string>

#include <boost/signals2/connection.hpp>

#include "core/MessageSignalData.h"

namespace Zelkor {

class IServiceBase {
public:
    using Handler = std::function<void(MessageSignalData&)>;

    virtual ~IServiceBase() = default;
    // Connects for the life of the signal; a word the service does not handle is ignored.
    virtual void AddHandler(const std::string& word, Handler handler) = 0;
    // As AddHandler, returning the connection; an empty, never connected one for a word
    // the service does not handle.
    virtual boost::signals2::connection AddHandler2(const std::string& word, Handler handler) = 0;
};

}  // namespace Zelkor
