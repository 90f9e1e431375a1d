// The network of `zelmar voice`.
#include "voice_network.h"

#include "explain.h"

#include <algorithm>
#include <mutex>

namespace cli {
namespace voice {

void Channel::Send(uint32_t sequence, const uint8_t* frame, int32_t bytes) {
    std::lock_guard<std::mutex> hold(clock_.mutex());
    ++sent_;
    if (lost_.p() > 0 && lost_(random_)) {
        ++dropped_;
        return;
    }
    // One route: frames are delayed by different amounts but never overtake each other.
    const int64_t arrival = std::max(lastArrivalUs_, clock_.NowUsLocked() + static_cast<int64_t>(delayUs_(random_)));
    lastArrivalUs_ = arrival;
    queue_.push_back({sequence, arrival, std::vector<uint8_t>(frame, frame + bytes)});
    clock_.Notify();
}

void Channel::Close() {
    std::lock_guard<std::mutex> hold(clock_.mutex());
    closed_ = true;
    clock_.Notify();
}

bool Channel::Receive(Packet* packet) {
    std::unique_lock<std::mutex> lock(clock_.mutex());
    clock_.WaitUntil(kNetwork, lock, [this] {
        if (queue_.empty()) return closed_ ? int64_t{0} : PathClock::kNever;
        return Earliest()->arrivalUs;
    });
    if (queue_.empty() || clock_.stalled()) return false;
    auto earliest = Earliest();
    *packet = std::move(*earliest);
    queue_.erase(earliest);
    return true;
}

std::deque<Packet>::iterator Channel::Earliest() {
    return std::min_element(queue_.begin(), queue_.end(),
                            [](const Packet& a, const Packet& b) { return a.arrivalUs < b.arrivalUs; });
}

std::string UdpLink::Open(int32_t port) {
    receiver_ = Component("UDPAudioIn");
    if (!receiver_) return "this library lacks the UDP components";
    const int32_t first = port > 0 ? port : 45000;
    const int32_t last = port > 0 ? first : first + 100;
    int32_t code = -1;
    for (int32_t candidate = first; candidate <= last && code != 0; ++candidate) {
        receiver_->SetProperty("PortNo", candidate, nullptr);
        code = receiver_->Build();  // 0x80000003: the port is in use
        if (code == 0) port_ = candidate;
    }
    if (code != 0 && port > 0 && UdpPortInUse(port)) {
        return "UDP port " + std::to_string(port) + " on 127.0.0.1 is in use (" + Hex(code) + ")";
    }
    if (code != 0) return "cannot bind a UDP port on 127.0.0.1 (" + ResultText(code) + ")";
    if ((code = receiver_->Start()) != 0) return "UDPAudioIn: Start returned " + ResultText(code);
    std::string error;
    sender_ = ComponentSetup("UDPAudioOut").Set("PortNo", port_).Start(&error);
    return error;
}

bool UdpLink::Send(const uint8_t* frame, int32_t bytes) {
    datagram_.insert(datagram_.end(), frame, frame + bytes);
    if (++queuedFrames_ < kFramesPerDatagram) return true;
    queuedFrames_ = 0;
    if (datagram_.size() > static_cast<std::size_t>(kDatagramBytes)) {
        datagram_.clear();
        return false;  // frames this long do not fit a datagram
    }
    datagram_.resize(kDatagramBytes, 0);
    const bool whole = sender_->PutData(datagram_.data(), kDatagramBytes) == kDatagramBytes;
    datagram_.clear();
    return whole;
}

int32_t UdpLink::Receive(uint8_t* buffer, int32_t bytes) {
    bytes = std::min(bytes, kDatagramBytes);
    for (int failedInARow = 0;;) {
        const int32_t got = receiver_->GetData(received_.data(), kDatagramBytes);
        if (got == 0) return 0;
        if (got < 0) {
            ++failedReceives_;
            if (++failedInARow >= kMaxFailedReceivesInARow) return -1;
            continue;
        }
        std::copy(received_.begin(), received_.begin() + bytes, buffer);
        return bytes;
    }
}

}  // namespace voice
}  // namespace cli
