#pragma once
// The receiving side of a service's command words (the driver): each entry a service
// hands over is entered in the receiver's own map. A word the map already holds keeps its
// first registration, so the order in which services are set up decides which of them
// receives a word two of them register. Called at start-up on the thread that sets the
// services up.

#include "core/MessageSignalFactory.h"

namespace Zelkor {

class ICombineMessageSignalMaps {
public:
    virtual ~ICombineMessageSignalMaps() = default;
    virtual void SetMessageSignalFactory(const MessageSignalFactory& factory) = 0;
};

}  // namespace Zelkor
