#pragma once
// What the storage tells the subscription service: every value change that is to be
// published; and what the discovery service tells it: a connection it dropped.
//
// Ownership: the storage holds the service as a plain, unowned pointer; the service must
// outlive its registration (SetStorageEventHandler(nullptr) ends it).
// Threads: ValueChanged is called synchronously on the thread that wrote the value,
// before the write returns; RemoveSubscription from any thread.

#include <memory>

#include "core/IServiceBase.h"

namespace Zelkor {

class IStorage;

class ISubscriptionService : public IServiceBase {
public:
    // A parameter's value changed. `value` is a JSON string's own text, or any other value
    // as compact JSON followed by a line feed; `type` is the parameter's type word (or the
    // list name for a change of ".enums" / ".flags").
    virtual void ValueChanged(const char* path, const char* format, const char* value,
                              const char* type, bool changed,
                              std::weak_ptr<IStorage> storage) = 0;

    // A dynamic attribute of a parameter changed.
    virtual void ValueChanged(const char* path, const char* format, const char* value,
                              bool changed, std::weak_ptr<IStorage> storage) = 0;

    // Drops every subscription held by that connection.
    virtual void RemoveSubscription(void* handle) = 0;
};

}  // namespace Zelkor
