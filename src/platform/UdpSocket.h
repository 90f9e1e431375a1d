// UDP datagram sockets on the loopback address 127.0.0.1: the narrow part of the sockets API
// the UDP stream components use.
//
// Two implementations: POSIX sockets (the real loopback), and a virtual loopback network in
// memory whose waits run on a time service, so receive time-outs and pacing are tested on
// virtual time.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Time.h"

namespace zelmar::platform {

class IUdpSocket {
public:
    virtual ~IUdpSocket() = default;
    // Binds to 127.0.0.1 at `port` (0: any free port).  False when the port is taken.
    virtual bool BindLoopback(uint16_t port) = 0;
    // The bound port, 0 when not bound.
    virtual uint16_t LocalPort() const = 0;
    // kSignaled when a datagram waits to be received.
    virtual WaitResult WaitReadable(uint32_t timeoutMs) = 0;
    // Receives one datagram; a longer one is cut to `capacity` bytes.  Returns the bytes
    // received, or -1 on failure.
    virtual int32_t Receive(void* buffer, int32_t capacity) = 0;
    // Sends `bytes` bytes as one datagram to 127.0.0.1:port.  Returns the bytes sent or -1.
    virtual int32_t SendToLoopback(uint16_t port, const void* data, int32_t bytes) = 0;
};

class IUdpNetwork {
public:
    virtual ~IUdpNetwork() = default;
    // A new IPv4 datagram socket, or null when none can be made.
    virtual std::unique_ptr<IUdpSocket> OpenSocket() = 0;
};

std::unique_ptr<IUdpNetwork> CreatePosixUdpNetwork();

// An in-memory loopback network.  Datagrams sent to a port nobody has bound vanish, as on a
// real network; receivers wait on events of `time`.
class VirtualUdpNetwork : public IUdpNetwork {
public:
    explicit VirtualUdpNetwork(ITimeService& time);
    ~VirtualUdpNetwork() override;

    std::unique_ptr<IUdpSocket> OpenSocket() override;

    // Failure injection: OpenSocket returns null while set.
    void FailOpen(bool fail);
    // Datagrams sent so far, to any port.
    uint64_t SentDatagrams() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace zelmar::platform
