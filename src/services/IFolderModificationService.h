#pragma once
// The service of "get" and "set" of many values, as the driver hands it to the application. Its operations
// arrive with the service itself.
//
// Ownership: the driver's; the application never deletes it.

#include "core/IServiceBase.h"

namespace Zelkor {

class IFolderModificationService : public IServiceBase {};

}  // namespace Zelkor
