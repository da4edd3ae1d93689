#pragma once
// The discovery service as the application sees it (device list, connect, locate,
// verification codes, list-change callbacks). The driver hands it out; its operations
// arrive with the discovery service itself.
//
// Ownership: the driver's; the application never deletes it.

#include "core/IServiceBase.h"

namespace Zelkor {

class IDiscoveryService : public IServiceBase {};

}  // namespace Zelkor
