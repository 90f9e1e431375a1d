// A full-duplex pair as a test drives it: capture (with the effects asked for) and playback of
// one 16-bit mono format on rings of one second.  Each Step keeps the playback ring one ring
// ahead of its play cursor with the far-end signal and collects what capture brought in
// since the last Step; the test moves time (virtual, or waits for the server) between Steps.
#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "platform/audio/AudioDevice.h"

namespace zelmar::test {

class FullDuplexPair {
public:
    FullDuplexPair(platform::audio::IAudioService& audio, const platform::audio::DeviceGuid* captureId,
                   const platform::audio::DeviceGuid* playbackId, uint32_t rateHz, bool echoCancellation,
                   bool noiseSuppression)
        : ringBytes_(rateHz * 2) {
        namespace pa = platform::audio;
        const WAVEFORMATEX format{1, 1, rateHz, rateHz * 2, 2, 16, 0};
        pa::CaptureBufferDesc capture;
        capture.flags = pa::kCaptureBufferCtrlFx;
        capture.bufferBytes = ringBytes_;
        capture.format = format;
        capture.echoCancellation = echoCancellation;
        capture.noiseSuppression = noiseSuppression;
        pa::PlaybackBufferDesc playback;
        playback.bufferBytes = ringBytes_;
        playback.hasFormat = true;
        playback.format = format;
        const pa::OwnerHandle owner = pa::CreateOwnerHandle();
        result = audio.CreateFullDuplex(captureId, playbackId, capture, playback, owner, pa::kCooperativePriority,
                                        &duplex, &in, &out);
        pa::DestroyOwnerHandle(owner);
    }

    // The first Step fills the playback ring and starts both buffers.
    platform::audio::DsResult Step() {
        namespace pa = platform::audio;
        pa::DsResult r = pa::kDsOk;
        if (!started_) {
            started_ = true;
            if ((r = Write(ringBytes_ / 2)) != pa::kDsOk || (r = out->Play(pa::kPlayLooping)) != pa::kDsOk) return r;
            return in->Start(pa::kCaptureStartLooping);
        }
        uint32_t play = 0, write = 0;
        if ((r = out->GetCurrentPosition(&play, &write)) != pa::kDsOk) return r;
        played_ += (play + ringBytes_ - playedAt_) % ringBytes_ / 2;
        playedAt_ = play;
        // What was just played is refilled with what plays one ring later.
        while (r == pa::kDsOk && written_ < played_ + ringBytes_ / 2) r = Write(160);
        uint32_t capturePos = 0, readPos = 0;
        if (r != pa::kDsOk || (r = in->GetCurrentPosition(&capturePos, &readPos)) != pa::kDsOk) return r;
        const uint32_t bytes = (readPos + ringBytes_ - readAt_) % ringBytes_;
        if (bytes == 0) return pa::kDsOk;
        void *p1, *p2;
        uint32_t n1, n2;
        if ((r = in->Lock(readAt_, bytes, &p1, &n1, &p2, &n2, 0)) != pa::kDsOk) return r;
        const size_t at = captured.size();
        captured.resize(at + (n1 + n2) / 2);
        std::memcpy(captured.data() + at, p1, n1);
        if (n2 != 0) std::memcpy(captured.data() + at + n1 / 2, p2, n2);
        readAt_ = readPos;
        return in->Unlock(p1, n1, p2, n2);
    }

    platform::audio::DsResult result;
    std::unique_ptr<platform::audio::IFullDuplex> duplex;  // the buffers outlive it
    std::unique_ptr<platform::audio::ICaptureBuffer> in;
    std::unique_ptr<platform::audio::IPlaybackBuffer> out;
    std::function<int16_t(uint64_t)> far = [](uint64_t) { return int16_t{0}; };  // far-end sample n
    std::vector<int16_t> captured;

private:
    platform::audio::DsResult Write(uint32_t samples) {
        void *p1, *p2;
        uint32_t n1, n2;
        const auto offset = static_cast<uint32_t>(written_ * 2 % ringBytes_);
        const platform::audio::DsResult r = out->Lock(offset, samples * 2, &p1, &n1, &p2, &n2, 0);
        if (r != platform::audio::kDsOk) return r;
        for (uint32_t i = 0; i < samples; ++i) {
            const int16_t v = far(written_ + i);
            std::memcpy(i * 2 < n1 ? static_cast<uint8_t*>(p1) + i * 2 : static_cast<uint8_t*>(p2) + (i * 2 - n1), &v, 2);
        }
        written_ += samples;
        return out->Unlock(p1, n1, p2, n2);
    }

    uint32_t ringBytes_;
    bool started_ = false;
    uint64_t written_ = 0;  // samples
    uint64_t played_ = 0;   // samples
    uint32_t playedAt_ = 0;
    uint32_t readAt_ = 0;
};

}  // namespace zelmar::test
