#pragma once
// What the trust tests share: a raw peer's exchange with a node process that answers the
// node's keep-alives as a peer does (the node sends its further requests only then).

#include <string>

#include "support/DriverHarness.h"

namespace ZelkorTest {

inline const std::string kDeviceState = R"({"power":"on"})";

// The next line the node sends but a keep-alive; "" when none came in time.
inline std::string Next(RawPeer& peer) {
    for (std::string heard = peer.ReadLine(); !heard.empty(); heard = peer.ReadLine()) {
        if (heard.rfind("disco ", 0) != 0) {
            return heard;
        }
        peer.Send("@disco {}\n");
    }
    return "";
}

inline std::string Ask(RawPeer& peer, const std::string& line) {
    peer.Send(line + "\n");
    return Next(peer);
}

inline std::string ErrorReply(const std::string& head, const std::string& text) {
    return head + R"( {"error":")" + text + "\"}\n";
}

}  // namespace ZelkorTest
