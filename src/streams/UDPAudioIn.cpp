#include "streams/UDPAudioIn.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "streams/UdpEndpoint.h"

namespace zelmar {

const PropertyTable<CUDPAudioIn>& CUDPAudioIn::Properties() {
    using C = CUDPAudioIn;
    static constexpr PropertyRow<C> kRows[] = {
        {"PortNo", kPortNo, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.port; }},
        {"SamplesPerSec", kSamplesPerSec, Settable::kAlways, Readable::kNo, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.samplesPerSec; }},
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.state_.totalIn; }},
        {"TotalOut", kTotalOut, Settable::kNo, Readable::kNo, Value::kUint32},
    };
    static_assert(std::size(kRows) == kUnknown, "one row per property");
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, udp::kPropertyRules};
    return kTable;
}

CUDPAudioIn::CUDPAudioIn() = default;
CUDPAudioIn::~CUDPAudioIn() = default;

int32_t CUDPAudioIn::Build() {
    if (const int32_t refused = udp::OpenSocket(socket_); refused != kOk) return refused;
    if (socket_ == nullptr || !socket_->BindLoopback(udp::Port(settings_.port))) {
        socket_.reset();
        return kErrInvalidArg;
    }
    return kOk;
}

int32_t CUDPAudioIn::Start() {
    state_ = {};
    return kOk;
}

int32_t CUDPAudioIn::Stop() {
    socket_.reset();
    // What was carried belongs to the stream just stopped: a receiver built again must not
    // serve it before its next Start.
    state_.carryBytes = 0;
    return kOk;
}

void CUDPAudioIn::KeepForNextCall(const uint8_t* delivered, int32_t count) {
    // Whatever fits the store survives a failed call; a request of more than the store can
    // lose the part it had gathered, as the bytes of a datagram the socket dropped would be.
    const int32_t kept = std::min(count, kReceiveStoreBytes);
    std::memcpy(store_, delivered + (count - kept), static_cast<std::size_t>(kept));
    state_.carryBytes = kept;
}

int32_t CUDPAudioIn::GetData(void* buffer, int32_t bytes) {
    if (bytes < 0 || (buffer == nullptr && bytes > 0)) return kErrInvalidArg;
    if (socket_ == nullptr) return udp::kSocketError;  // stopped or never built: no socket to read
    if (bytes == 0) return 0;  // nothing asked, nothing taken from the carry
    auto* out = static_cast<uint8_t*>(buffer);

    int32_t delivered = 0;
    if (state_.carryBytes > 0) {
        // A request smaller than the carry takes only what it asked for; the rest stays.
        delivered = std::min(state_.carryBytes, bytes);
        std::memcpy(out, store_, static_cast<std::size_t>(delivered));
        state_.carryBytes -= delivered;
        std::memmove(store_, store_ + delivered, static_cast<std::size_t>(state_.carryBytes));
        if (delivered == bytes) {
            state_.totalIn += static_cast<uint32_t>(bytes);
            return bytes;
        }
    }

    for (;;) {
        const platform::WaitResult wait = socket_->WaitReadable(kDatagramWaitMs);
        if (wait != platform::WaitResult::kSignaled) {
            // The bytes this call had gathered are kept for the next call rather than lost.
            KeepForNextCall(out, delivered);
            return wait == platform::WaitResult::kTimedOut ? 0 : udp::kSocketError;
        }
        const int32_t received = socket_->Receive(store_, kDatagramBytes);
        if (received < 1) {
            KeepForNextCall(out, delivered);
            return udp::kSocketError;
        }
        // Every datagram counts as a whole one: the tail of a short datagram is what the
        // store held there before.  The stream keeps its 2 560-byte grid, so one stray short
        // datagram cannot shift every later sample.
        const int32_t remaining = bytes - delivered;
        if (remaining >= kDatagramBytes) {
            std::memcpy(out + delivered, store_, static_cast<std::size_t>(kDatagramBytes));
            delivered += kDatagramBytes;
            if (delivered >= bytes) break;
        } else {
            std::memcpy(out + delivered, store_, static_cast<std::size_t>(remaining));
            state_.carryBytes = kDatagramBytes - remaining;
            std::memmove(store_, store_ + remaining, static_cast<std::size_t>(state_.carryBytes));
            break;
        }
    }
    state_.totalIn += static_cast<uint32_t>(bytes);
    return bytes;
}

int32_t CUDPAudioIn::GetDataSplit(void*, void*, int32_t bytes) { return bytes; }

}  // namespace zelmar
