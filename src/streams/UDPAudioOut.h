// "UDPAudioOut": sends each block the host passes to PutData as one datagram to 127.0.0.1,
// paced to one datagram per 40 ms by a clock shared by every sender in the process.
#pragma once

#include <zelmar/zelmar_split.h>

#include <cstdint>
#include <memory>

#include "framework/AudioComponent.h"
#include "framework/Properties.h"
#include "platform/UdpSocket.h"

namespace zelmar {

class CUDPAudioOut : public CTableComponent<CUDPAudioOut, IAudioIOSplitSink> {
public:
    static constexpr uint32_t kDatagramPeriodMs = 40;
    static constexpr uint32_t kPacingSleepMs = 5;

    CUDPAudioOut();
    ~CUDPAudioOut() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    // Returns the bytes sent, or -1 when the send fails.
    int32_t PutData(const void* buffer, int32_t bytes) override;
    int32_t PutDataSplit(const void* left, const void* right, int32_t bytes) override;


    enum Property : int32_t {
        kPortNo = 0,
        kNotifySize = 1,
        kTotalIn = 3,
        kTotalOut = 4,
        kUnknown = 5,
    };

    static const PropertyTable<CUDPAudioOut>& Properties();

    // Forgets the process-wide pacing clock, so the next datagram of any sender goes at once
    // (a host or test that switches time base starts a fresh grid).
    static void ResetPacingClock();

private:
    // Waits for the next 40 ms slot of the shared grid and claims it.
    static void WaitForSendSlot();

    struct Settings {
        int32_t port = 0;
        int32_t notifySize = 2560;  // one datagram; reported only
    };
    // Reset at Start.
    struct State {
        uint32_t totalOut = 0;
    };

    Settings settings_;
    State state_;
    std::unique_ptr<platform::IUdpSocket> socket_;  // from Build until the sender is destroyed
};

}  // namespace zelmar
