#pragma once
// The service of the "exec" command, as the driver hands it to the application. Its operations
// arrive with the service itself.
//
// Ownership: the driver's; the application never deletes it.

#include "core/IServiceBase.h"

namespace Zelkor {

class ICommandInterfaceService : public IServiceBase {};

}  // namespace Zelkor
