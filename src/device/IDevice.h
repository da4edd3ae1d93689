#pragma once
// One discovered device as the application holds it. The remote device proxy implements
// it; until then the interface only names the type the driver's look-ups hand out.
//
// Ownership: shared between the discovery service's tables and the application.

namespace Zelkor {

class IDevice {
public:
    virtual ~IDevice() = default;
};

}  // namespace Zelkor
