#include "streams/UDPAudioIn.h"

#include <algorithm>
#include <cstring>

#include "framework/Properties.h"
#include "platform/Platform.h"

namespace zelmar {
namespace {

constexpr NamedIndex kProperties[] = {
    {"PortNo", CUDPAudioIn::kPortNo},
    {"SamplesPerSec", CUDPAudioIn::kSamplesPerSec},
    {"TotalIn", CUDPAudioIn::kTotalIn},
    {"TotalOut", CUDPAudioIn::kTotalOut},
};

constexpr int32_t kSocketError = -1;

}  // namespace

CUDPAudioIn::CUDPAudioIn() = default;
CUDPAudioIn::~CUDPAudioIn() = default;

int32_t CUDPAudioIn::FindProperty(const char* name) {
    return FindPropertyIndex(kProperties, name, kUnknown, NameMatch::kIgnoreAsciiCase);
}

int32_t CUDPAudioIn::SetProperty(const char* name, int32_t value, void*) {
    if (name == nullptr) return kErrInvalidArg;
    switch (FindProperty(name)) {
        case kPortNo: port_ = value; return kOk;
        case kSamplesPerSec: samplesPerSec_ = value; return kOk;
        default: return kErrState;
    }
}

int32_t CUDPAudioIn::GetProperty(const char* name, int32_t, void* out) {
    if (name == nullptr || out == nullptr) return kErrInvalidArg;
    switch (FindProperty(name)) {
        case kPortNo: WriteInt32(out, port_); return kOk;
        case kTotalIn: WriteUint32(out, totalIn_); return kOk;
        default: return kErrState;
    }
}

int32_t CUDPAudioIn::Build() {
    if (socket_ != nullptr) return kErrState;
    auto socket = platform::Current().network->OpenSocket();
    // The low 16 bits of "PortNo" are the port.
    if (socket == nullptr || !socket->BindLoopback(static_cast<uint16_t>(port_))) return kErrInvalidArg;
    socket_ = std::move(socket);
    return kOk;
}

int32_t CUDPAudioIn::Start() {
    carryBytes_ = 0;
    totalIn_ = 0;
    return kOk;
}

int32_t CUDPAudioIn::Stop() {
    socket_.reset();
    return kOk;
}

void CUDPAudioIn::KeepForNextCall(const uint8_t* delivered, int32_t count) {
    // Whatever fits the store survives a failed call; a request of more than the store can
    // lose the part it had gathered, as the bytes of a datagram the socket dropped would be.
    const int32_t kept = std::min(count, kReceiveStoreBytes);
    std::memcpy(store_, delivered + (count - kept), static_cast<std::size_t>(kept));
    carryBytes_ = kept;
}

int32_t CUDPAudioIn::GetData(void* buffer, int32_t bytes) {
    if (bytes < 0 || (buffer == nullptr && bytes > 0)) return kErrInvalidArg;
    if (socket_ == nullptr) return kSocketError;  // stopped or never built: no socket to read
    auto* out = static_cast<uint8_t*>(buffer);

    int32_t delivered = 0;
    if (carryBytes_ > 0) {
        // A request smaller than the carry takes only what it asked for; the rest stays.
        delivered = std::min(carryBytes_, bytes);
        std::memcpy(out, store_, static_cast<std::size_t>(delivered));
        carryBytes_ -= delivered;
        std::memmove(store_, store_ + delivered, static_cast<std::size_t>(carryBytes_));
        if (delivered == bytes) {
            totalIn_ += static_cast<uint32_t>(bytes);
            return bytes;
        }
    }
    if (bytes == 0) return 0;

    for (;;) {
        const platform::WaitResult wait = socket_->WaitReadable(kDatagramWaitMs);
        if (wait != platform::WaitResult::kSignaled) {
            // The bytes this call had gathered are kept for the next call rather than lost.
            KeepForNextCall(out, delivered);
            return wait == platform::WaitResult::kTimedOut ? 0 : kSocketError;
        }
        const int32_t received = socket_->Receive(store_, kDatagramBytes);
        if (received < 1) {
            KeepForNextCall(out, delivered);
            return kSocketError;
        }
        // A short datagram contributes only its own bytes, never stale ones from the store.
        const int32_t remaining = bytes - delivered;
        if (remaining >= received) {
            std::memcpy(out + delivered, store_, static_cast<std::size_t>(received));
            delivered += received;
            if (delivered >= bytes) break;
        } else {
            std::memcpy(out + delivered, store_, static_cast<std::size_t>(remaining));
            carryBytes_ = received - remaining;
            std::memmove(store_, store_ + remaining, static_cast<std::size_t>(carryBytes_));
            break;
        }
    }
    totalIn_ += static_cast<uint32_t>(bytes);
    return bytes;
}

int32_t CUDPAudioIn::GetDataSplit(void*, void*, int32_t bytes) { return bytes; }

}  // namespace zelmar
