// UDP on 127.0.0.1 over POSIX sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/UdpSocket.h"

namespace zelmar::platform {
namespace {

sockaddr_in LoopbackAddress(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

class PosixUdpSocket final : public IUdpSocket {
public:
    explicit PosixUdpSocket(int fd) : fd_(fd) {}
    ~PosixUdpSocket() override { close(fd_); }

    bool BindLoopback(uint16_t port) override {
        const sockaddr_in address = LoopbackAddress(port);
        return bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }

    uint16_t LocalPort() const override {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
        return ntohs(address.sin_port);
    }

    WaitResult WaitReadable(uint32_t timeoutMs) override {
        pollfd entry{fd_, POLLIN, 0};
        const int timeout = timeoutMs == kWaitForever ? -1 : static_cast<int>(timeoutMs & 0x7FFFFFFF);
        for (;;) {
            const int ready = poll(&entry, 1, timeout);
            if (ready > 0) return (entry.revents & POLLIN) != 0 ? WaitResult::kSignaled : WaitResult::kFailed;
            if (ready == 0) return WaitResult::kTimedOut;
            if (errno != EINTR) return WaitResult::kFailed;
        }
    }

    int32_t Receive(void* buffer, int32_t capacity) override {
        if (capacity < 0) return -1;
        sockaddr_in source{};
        socklen_t length = sizeof source;  // the source is captured and ignored
        const ssize_t received = recvfrom(fd_, buffer, static_cast<size_t>(capacity), 0,
                                          reinterpret_cast<sockaddr*>(&source), &length);
        return received < 0 ? -1 : static_cast<int32_t>(received);
    }

    int32_t SendToLoopback(uint16_t port, const void* data, int32_t bytes) override {
        if (bytes < 0) return -1;
        const sockaddr_in address = LoopbackAddress(port);
        const ssize_t sent = sendto(fd_, data, static_cast<size_t>(bytes), 0,
                                    reinterpret_cast<const sockaddr*>(&address), sizeof address);
        return sent < 0 ? -1 : static_cast<int32_t>(sent);
    }

private:
    int fd_;
};

class PosixUdpNetwork final : public IUdpNetwork {
public:
    std::unique_ptr<IUdpSocket> OpenSocket() override {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
        if (fd < 0) return nullptr;
        return std::make_unique<PosixUdpSocket>(fd);
    }
};

}  // namespace

std::unique_ptr<IUdpNetwork> CreatePosixUdpNetwork() { return std::make_unique<PosixUdpNetwork>(); }

}  // namespace zelmar::platform
