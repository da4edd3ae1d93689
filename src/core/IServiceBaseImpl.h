#pragma once
// The common implementation of IServiceBase for a service interface I: the service's
// command-word map and the connection of handlers to the words' signals.
//
// Ownership: the service owns its map and the signals it registers in it. Threads: the
// map is filled while the service is set up; handlers may be added afterwards from any
// thread (connecting to a signal is thread-safe).

#include <string>
#include <utility>

#include "core/IServiceBase.h"
#include "core/MessageSignalMap.h"
#include "core/Signal.h"

namespace Zelkor {

template <class I>
class IServiceBaseImpl : public I {
public:
    void AddHandler(const std::string& word, IServiceBase::Handler handler) override {
        this->AddHandler2(word, std::move(handler));
    }

    boost::signals2::connection AddHandler2(const std::string& word, IServiceBase::Handler handler) override {
        Signal<MessageSignalData>* signal = _messageSignalMap.GetMessageSignalFactory(word.c_str()).MessageSignal();
        return signal ? signal->Connect(std::move(handler)) : boost::signals2::connection();
    }

protected:
    // The words this service registers, each with its signal and message factory.
    MessageSignalMap _messageSignalMap;
};

}  // namespace Zelkor
