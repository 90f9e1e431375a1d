// What the UDP receiver and sender share: property names matched without regard to ASCII
// case, the plain -1 their data calls return for a socket failure, and the socket Build opens.
#pragma once

#include <cstdint>
#include <memory>

#include "framework/Properties.h"
#include "framework/Result.h"
#include "platform/Platform.h"
#include "platform/UdpSocket.h"

namespace zelmar::udp {

constexpr int32_t kSocketError = -1;

constexpr PropertyRules kPropertyRules{NameMatch::kIgnoreAsciiCase};

// The low 16 bits of "PortNo" are the UDP port.
inline uint16_t Port(int32_t portNo) { return static_cast<uint16_t>(portNo); }

// Opens the socket of a Build: refused while the component holds one.  The new socket may be
// null when none can be made; the receiver refuses that, the sender's PutData fails on it.
[[nodiscard]] inline int32_t OpenSocket(std::unique_ptr<platform::IUdpSocket>& socket) {
    if (socket != nullptr) return kErrState;
    socket = platform::Current().network->OpenSocket();
    return kOk;
}

}  // namespace zelmar::udp
