// The in-memory loopback network: bound ports keep queues of datagrams; a receiver waits on
// a manual-reset event of the time service that is set while its queue is not empty.
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/UdpSocket.h"

namespace zelmar::platform {

struct VirtualUdpNetwork::Impl {
    struct Port {
        std::deque<std::vector<uint8_t>> datagrams;
        IEvent* readable = nullptr;
    };
    explicit Impl(ITimeService& t) : time(t) {}

    ITimeService& time;
    std::mutex lock;
    std::map<uint16_t, Port> ports;
    uint16_t nextEphemeralPort = 49152;
    bool failOpen = false;
    uint64_t sent = 0;
};

namespace {

class VirtualUdpSocket final : public IUdpSocket {
public:
    explicit VirtualUdpSocket(std::shared_ptr<VirtualUdpNetwork::Impl> network)
        : network_(std::move(network)), readable_(network_->time.CreateEvent(/*manualReset=*/true, false)) {}

    ~VirtualUdpSocket() override {
        std::lock_guard<std::mutex> hold(network_->lock);
        if (port_ != 0) network_->ports.erase(port_);
    }

    bool BindLoopback(uint16_t port) override {
        std::lock_guard<std::mutex> hold(network_->lock);
        if (port_ != 0) return false;
        if (port == 0) {
            while (network_->ports.count(network_->nextEphemeralPort) != 0) ++network_->nextEphemeralPort;
            port = network_->nextEphemeralPort++;
        }
        if (network_->ports.count(port) != 0) return false;
        network_->ports[port].readable = readable_.get();
        port_ = port;
        return true;
    }

    uint16_t LocalPort() const override { return port_; }

    WaitResult WaitReadable(uint32_t timeoutMs) override {
        if (port_ == 0) return WaitResult::kFailed;
        return readable_->Wait(timeoutMs);
    }

    int32_t Receive(void* buffer, int32_t capacity) override {
        if (capacity < 0) return -1;
        std::lock_guard<std::mutex> hold(network_->lock);
        auto found = network_->ports.find(port_);
        if (port_ == 0 || found == network_->ports.end() || found->second.datagrams.empty()) return -1;
        auto& queue = found->second.datagrams;
        const std::vector<uint8_t> datagram = std::move(queue.front());
        queue.pop_front();
        if (queue.empty()) readable_->Reset();
        const std::size_t length = std::min<std::size_t>(datagram.size(), static_cast<std::size_t>(capacity));
        if (length > 0) std::memcpy(buffer, datagram.data(), length);
        return static_cast<int32_t>(length);
    }

    int32_t SendToLoopback(uint16_t port, const void* data, int32_t bytes) override {
        constexpr int32_t kLargestUdpPayload = 65507;
        if (bytes < 0 || bytes > kLargestUdpPayload) return -1;
        std::lock_guard<std::mutex> hold(network_->lock);
        ++network_->sent;
        auto found = network_->ports.find(port);
        if (found == network_->ports.end()) return bytes;  // nobody listens: the datagram is lost
        const auto* first = static_cast<const uint8_t*>(data);
        found->second.datagrams.emplace_back(first, first + bytes);
        found->second.readable->Set();
        return bytes;
    }

private:
    std::shared_ptr<VirtualUdpNetwork::Impl> network_;
    std::unique_ptr<IEvent> readable_;
    uint16_t port_ = 0;
};

}  // namespace

VirtualUdpNetwork::VirtualUdpNetwork(ITimeService& time) : impl_(std::make_shared<Impl>(time)) {}
VirtualUdpNetwork::~VirtualUdpNetwork() = default;

std::unique_ptr<IUdpSocket> VirtualUdpNetwork::OpenSocket() {
    {
        std::lock_guard<std::mutex> hold(impl_->lock);
        if (impl_->failOpen) return nullptr;
    }
    return std::make_unique<VirtualUdpSocket>(impl_);
}

void VirtualUdpNetwork::FailOpen(bool fail) {
    std::lock_guard<std::mutex> hold(impl_->lock);
    impl_->failOpen = fail;
}

uint64_t VirtualUdpNetwork::SentDatagrams() const {
    std::lock_guard<std::mutex> hold(impl_->lock);
    return impl_->sent;
}

}  // namespace zelmar::platform
