#include "discovery/DeviceSender.h"

#include "transport/SourceGroup.h"

namespace Zelkor {

DeviceSender DeviceSender::From(const boost::asio::ip::address& source) {
    DeviceSender sender;
    sender._group = SourceGroup(source);
    return sender;
}

DeviceSender DeviceSender::Through(const std::shared_ptr<TcpSocket>& router) {
    DeviceSender sender;
    sender._router = router;
    return sender;
}

}  // namespace Zelkor
