#include "streams/UDPAudioOut.h"

#include <atomic>

#include "framework/Properties.h"
#include "platform/Platform.h"

namespace zelmar {
namespace {

constexpr NamedIndex kProperties[] = {
    {"PortNo", CUDPAudioOut::kPortNo},
    {"NotifySize", CUDPAudioOut::kNotifySize},
    {"TotalIn", CUDPAudioOut::kTotalIn},
    {"TotalOut", CUDPAudioOut::kTotalOut},
};

constexpr int32_t kSendError = -1;

// The process-wide pacing clock: the millisecond time stamp of the last 40 ms slot handed
// out.  Bit 32 marks it as set, so a clock reading of 0 is a valid stamp.  Senders on
// different threads claim slots with compare-and-swap, so no two of them get the same one.
constexpr uint64_t kClockSet = uint64_t{1} << 32;
std::atomic<uint64_t> g_pacingClock{0};

}  // namespace

CUDPAudioOut::CUDPAudioOut() = default;
CUDPAudioOut::~CUDPAudioOut() = default;

void CUDPAudioOut::ResetPacingClock() { g_pacingClock.store(0); }

void CUDPAudioOut::WaitForSendSlot() {
    platform::ITimeService& time = *platform::Current().time;
    uint64_t clock = g_pacingClock.load();
    for (;;) {
        const uint32_t nowMs = time.NowMs();
        if ((clock & kClockSet) == 0) {
            // The first datagram of the process goes at once and starts the grid.
            if (g_pacingClock.compare_exchange_weak(clock, kClockSet | nowMs)) return;
            continue;
        }
        const uint32_t slotMs = static_cast<uint32_t>(clock);
        if (static_cast<uint32_t>(nowMs - slotMs) < kDatagramPeriodMs) {
            time.SleepMs(kPacingSleepMs);
            clock = g_pacingClock.load();
            continue;
        }
        // The grid advances by exactly one period, not to now: a sender that fell behind
        // sends back to back until it has caught up.
        if (g_pacingClock.compare_exchange_weak(clock, kClockSet | static_cast<uint32_t>(slotMs + kDatagramPeriodMs))) return;
    }
}

int32_t CUDPAudioOut::FindProperty(const char* name) {
    return FindPropertyIndex(kProperties, name, kUnknown, NameMatch::kIgnoreAsciiCase);
}

int32_t CUDPAudioOut::SetProperty(const char* name, int32_t value, void*) {
    if (name == nullptr) return kErrInvalidArg;
    switch (FindProperty(name)) {
        case kPortNo: port_ = value; return kOk;
        case kNotifySize: notifySize_ = value; return kOk;
        default: return kErrState;
    }
}

int32_t CUDPAudioOut::GetProperty(const char* name, int32_t, void* out) {
    if (name == nullptr || out == nullptr) return kErrInvalidArg;
    switch (FindProperty(name)) {
        case kPortNo: WriteInt32(out, port_); return kOk;
        case kNotifySize: WriteInt32(out, notifySize_); return kOk;
        case kTotalOut: WriteUint32(out, totalOut_); return kOk;
        default: return kErrState;
    }
}

int32_t CUDPAudioOut::Build() {
    if (socket_ != nullptr) return kErrState;
    // A socket that cannot be made is not reported here: every PutData then fails with -1.
    socket_ = platform::Current().network->OpenSocket();
    return kOk;
}

int32_t CUDPAudioOut::Start() {
    totalOut_ = 0;
    return kOk;
}

int32_t CUDPAudioOut::Stop() { return kOk; }  // the socket lives until the sender is destroyed

int32_t CUDPAudioOut::PutData(const void* buffer, int32_t bytes) {
    if (bytes < 0 || (buffer == nullptr && bytes > 0)) return kErrInvalidArg;
    // Without a socket the send cannot happen: fail before taking a slot other senders need.
    if (socket_ == nullptr) return kSendError;
    WaitForSendSlot();
    const int32_t sent = socket_->SendToLoopback(static_cast<uint16_t>(port_), buffer, bytes);
    if (sent < 0) return kSendError;
    totalOut_ += static_cast<uint32_t>(sent);
    return sent;
}

int32_t CUDPAudioOut::PutDataSplit(const void*, const void*, int32_t bytes) { return bytes; }

}  // namespace zelmar
