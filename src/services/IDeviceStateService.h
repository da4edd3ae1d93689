#pragma once
// The service of device state, presets and network settings, as the driver hands it to the application. Its operations
// arrive with the service itself.
//
// Ownership: the driver's; the application never deletes it.

#include "core/IServiceBase.h"

namespace Zelkor {

class IDeviceStateService : public IServiceBase {};

}  // namespace Zelkor
