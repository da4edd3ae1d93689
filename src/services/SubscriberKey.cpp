#include "services/SubscriberKey.h"

#include "core/MessageForwardInfo.h"
#include "core/RequestErrors.h"

namespace Zelkor {

SubscriberKey SubscriberKey::Of(void* conn, const MessageForwardInfo& header) {
    const auto& sources = header.SourceList();
    return sources.size() >= 2 ? SubscriberKey(conn, sources) : SubscriberKey(conn);
}

bool SubscriberGone(const std::string& error) {
    // The router's own texts for a target it cannot reach.
    return error == "Device not found" || error == kDeviceNotConnected;
}

}  // namespace Zelkor
