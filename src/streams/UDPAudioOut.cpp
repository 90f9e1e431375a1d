#include "streams/UDPAudioOut.h"

#include <atomic>
#include <iterator>

#include "streams/UdpEndpoint.h"

namespace zelmar {
namespace {

// The process-wide pacing clock: the millisecond time stamp of the last 40 ms slot handed
// out.  Bit 32 marks it as set, so a clock reading of 0 is a valid stamp.  Senders on
// different threads claim slots with compare-and-swap, so no two of them get the same one.
constexpr uint64_t kClockSet = uint64_t{1} << 32;
std::atomic<uint64_t> g_pacingClock{0};

}  // namespace

const PropertyTable<CUDPAudioOut>& CUDPAudioOut::Properties() {
    using C = CUDPAudioOut;
    static constexpr PropertyRow<C> kRows[] = {
        {"PortNo", kPortNo, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.port; }},
        {"NotifySize", kNotifySize, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.notifySize; }},
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kNo, Value::kUint32},
        {"TotalOut", kTotalOut, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.state_.totalOut; }},
    };
    static_assert(std::size(kRows) == kUnknown - 1, "one row per property; index 2 belongs to no name");
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, udp::kPropertyRules};
    return kTable;
}

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

int32_t CUDPAudioOut::Build() {
    // A socket that cannot be made is not reported here: every PutData then fails with -1.
    return udp::OpenSocket(socket_);
}

int32_t CUDPAudioOut::Start() {
    state_ = {};
    return kOk;
}

int32_t CUDPAudioOut::Stop() { return kOk; }  // the socket lives until the sender is destroyed

int32_t CUDPAudioOut::PutData(const void* buffer, int32_t bytes) {
    if (bytes < 0 || (buffer == nullptr && bytes > 0)) return kErrInvalidArg;
    // Without a socket the send cannot happen: fail before taking a slot other senders need.
    if (socket_ == nullptr) return udp::kSocketError;
    WaitForSendSlot();
    const int32_t sent = socket_->SendToLoopback(udp::Port(settings_.port), buffer, bytes);
    if (sent < 0) return udp::kSocketError;
    state_.totalOut += static_cast<uint32_t>(sent);
    return sent;
}

int32_t CUDPAudioOut::PutDataSplit(const void*, const void*, int32_t bytes) { return bytes; }

}  // namespace zelmar
