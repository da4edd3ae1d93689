// The reply time-out of the requests this node sent: each service that keeps the places of
// its requests, and each device for its raw lines, answers those that waited too long.

#include <memory>

#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"
#include "services/CommandInterfaceService.h"
#include "services/FolderModificationService.h"

namespace Zelkor {

void ZelkorDriver::ExpireRequests(std::chrono::milliseconds limit) {
    if (limit.count() <= 0) {
        return;
    }
    const auto cutoff = std::chrono::steady_clock::now() - limit;
    if (auto* folders = folderModification()) {
        folders->ExpireRequests(cutoff);
    }
    if (auto* commands = commandInterface()) {
        commands->ExpireRequests(cutoff);
    }
    if (auto* service = GetDiscovery()) {
        service->forEach([cutoff](const std::shared_ptr<IDevice>& device) {
            if (const auto own = std::dynamic_pointer_cast<DeviceImpl>(device)) {
                own->ExpireRawCommands(cutoff);
            }
        });
    }
}

}  // namespace Zelkor
