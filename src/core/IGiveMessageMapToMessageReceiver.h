#pragma once
// The giving side: a service hands every entry of its command-word map to the receiver.
// The receiver is not owned and is used only during the call, which is made once at
// start-up on the thread that sets the services up.

#include "core/ICombineMessageSignalMaps.h"

namespace Zelkor {

class IGiveMessageMapToMessageReceiver {
public:
    virtual ~IGiveMessageMapToMessageReceiver() = default;
    virtual void GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) = 0;
};

}  // namespace Zelkor
