// "UDPAudioIn": receives PCM datagrams on 127.0.0.1 and turns them back into a byte stream of
// whatever block size the host asks for.  Datagrams are 40 ms of 16-bit mono at 32 000
// samples per second (2 560 bytes); the part of a datagram a request did not take is carried
// over into the next request, so the stream stays continuous.  Every datagram counts as
// 2 560 bytes whatever its length (a short one's tail is what the store held before), so the
// stream never slips off that grid; an empty datagram fails the call (-1) without losing
// what the call had gathered.
#pragma once

#include <zelmar/zelmar_split.h>

#include <cstdint>
#include <memory>

#include "framework/AudioComponent.h"
#include "framework/Properties.h"
#include "platform/UdpSocket.h"

namespace zelmar {

class CUDPAudioIn : public CTableComponent<CUDPAudioIn, IAudioIOSplitSource> {
public:
    static constexpr int32_t kDatagramBytes = 2560;        // 1 280 samples, 40 ms at 32 kHz
    // Receives each datagram and keeps what a request left of it, or what a failed call had
    // gathered (as much of that as fits).
    static constexpr int32_t kReceiveStoreBytes = 8192;
    static constexpr uint32_t kDatagramWaitMs = 100;

    CUDPAudioIn();
    ~CUDPAudioIn() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    // Returns `bytes`, 0 when no datagram arrived within 100 ms, -1 on a socket error or an
    // empty datagram.
    int32_t GetData(void* buffer, int32_t bytes) override;
    int32_t GetDataSplit(void* left, void* right, int32_t bytes) override;


    enum Property : int32_t {
        kPortNo = 0,
        kSamplesPerSec = 1,
        kTotalIn = 2,
        kTotalOut = 3,
        kUnknown = 4,
    };

    static const PropertyTable<CUDPAudioIn>& Properties();

private:
    // Puts the bytes a failed call had already copied back at the front of the store.
    void KeepForNextCall(const uint8_t* delivered, int32_t count);

    struct Settings {
        int32_t port = 0;
        int32_t samplesPerSec = 32000;  // stored only: the stream carries no format
    };
    // Reset at Start; the carry also at Stop.
    struct State {
        int32_t carryBytes = 0;  // undelivered bytes at the front of store_
        uint32_t totalIn = 0;
    };

    Settings settings_;
    State state_;
    std::unique_ptr<platform::IUdpSocket> socket_;  // bound from Build to Stop
    uint8_t store_[kReceiveStoreBytes] = {};
};

}  // namespace zelmar
