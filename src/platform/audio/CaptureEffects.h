// The capture effects of one capture buffer, done by WebRTC's audio processing: echo
// cancellation against what the paired playback buffer plays (the far end), and noise
// suppression.  Both backends run the captured stream through it before it reaches the
// buffer's ring, so the cursors only ever pass processed audio.
//
// The processing works on 10 ms chunks; the captured stream comes out delayed by exactly
// kLatencyChunks chunks (silence first), whether the effects are switched on or off, so
// switching never breaks the stream.  Far-end audio and captured audio arrive on different threads (each
// PulseAudio stream has its own main loop): one mutex serialises them.
//
// The canceller wants the far end a steady, short time before its echo.  A sound server takes
// playback audio in bursts well before it is heard, so far-end chunks wait here with the time
// they will be heard and are handed on in step with the capture: before each captured chunk,
// the far end heard up to kFarLeadMs after that chunk was captured.  A captured chunk waits
// (up to the latency) for that far end to arrive: a sink's monitor, for one, returns the
// audio almost as soon as the server takes it.  Both times are on one clock, which the
// backend chooses (microseconds).
#pragma once

#include <zelmar/zelmar.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/audio/AudioDevice.h"

namespace webrtc {
class AudioProcessing;
}

namespace zelmar::platform::audio {

class CaptureEffects : public std::enable_shared_from_this<CaptureEffects> {
public:
    static constexpr uint32_t kChunkMs = 10;
    static constexpr int64_t kFarLeadMs = 30;
    static constexpr uint32_t kLatencyChunks = 4;  // 40 ms
    static constexpr uint32_t kFarChunks = 100;  // far end waiting: at most 1 s

    // Null when the format cannot be processed: 16-bit PCM, one or two channels, at 8, 16, 32
    // or 48 kHz.  The effects asked for start switched on.
    static std::shared_ptr<CaptureEffects> Create(const WAVEFORMATEX& format, bool echoCancellation,
                                                  bool noiseSuppression);
    static bool CanProcess(const WAVEFORMATEX& format);
    ~CaptureEffects();
    CaptureEffects(const CaptureEffects&) = delete;
    CaptureEffects& operator=(const CaptureEffects&) = delete;

    bool Has(CaptureEffect kind) const;
    bool IsEnabled(CaptureEffect kind);
    void SetEnabled(CaptureEffect kind, bool enabled);
    // The switch GetObjectInPath hands out; kDsErrNoInterface when this buffer lacks `kind`.
    DsResult MakeSwitch(CaptureEffect kind, std::unique_ptr<ICaptureEffect>* effect);

    // Far-end audio in the playback buffer's format (16-bit PCM at a processable rate; other
    // formats give the canceller no reference), whose first byte is heard at `heardAtUs`.
    void Render(const WAVEFORMATEX& format, const uint8_t* bytes, uint32_t count, int64_t heardAtUs);
    // Captured bytes, whose first byte was captured at `capturedAtUs`, replaced in place by
    // the processed stream one chunk behind.
    void Process(uint8_t* bytes, uint32_t count, int64_t capturedAtUs);

private:
    CaptureEffects(const WAVEFORMATEX& format, bool echoCancellation, bool noiseSuppression);
    bool Init();
    void ProcessChunkLocked(uint8_t* chunk, int64_t capturedAtUs);
    bool FarEndReadyLocked(int64_t capturedAtUs) const;
    void FeedFarEndLocked(int64_t untilUs);

    std::mutex mutex_;
    webrtc::AudioProcessing* apm_ = nullptr;
    const WAVEFORMATEX format_;
    const bool hasEcho_;
    const bool hasNoise_;
    bool echoOn_;
    bool noiseOn_;

    uint32_t chunkFrames_ = 0;
    uint32_t chunkBytes_ = 0;
    std::vector<uint8_t> pending_;     // captured chunks not yet processed, a ring of kLatencyChunks
    int64_t pendingAtUs_[kLatencyChunks] = {};  // when their first bytes were captured
    uint32_t pendingFirst_ = 0;
    uint32_t pendingCount_ = 0;        // whole chunks
    uint32_t inputFill_ = 0;           // bytes of the chunk being gathered after them
    int64_t inputAtUs_ = 0;
    std::vector<uint8_t> output_;      // processed bytes not yet handed back, a ring
    uint32_t outputRead_ = 0;
    uint32_t outputFill_ = 0;
    std::vector<float> channels_[2];   // one chunk, deinterleaved

    WAVEFORMATEX farFormat_{};
    uint32_t farChunkBytes_ = 0;
    std::vector<uint8_t> farInput_;    // the far-end chunk being gathered
    uint32_t farFill_ = 0;
    int64_t farInputAtUs_ = 0;
    std::vector<uint8_t> farQueue_;    // kFarChunks chunks waiting to be handed on, a ring
    int64_t farHeardAtUs_[kFarChunks] = {};
    int64_t farEndUntilUs_ = INT64_MIN;  // when the far end received so far ends
    uint32_t farFirst_ = 0;
    uint32_t farCount_ = 0;
    std::vector<float> farChannels_[2];
};

}  // namespace zelmar::platform::audio
