#pragma once
// The service of event subscriptions and raised events, as the driver hands it to the application. Its operations
// arrive with the service itself.
//
// Ownership: the driver's; the application never deletes it.

#include "core/IServiceBase.h"

namespace Zelkor {

class IEventSubscriptionService : public IServiceBase {};

}  // namespace Zelkor
