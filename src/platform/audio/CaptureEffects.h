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
// The canceller wants the far end a steady, short time before its echo: its filter spans only
// 128 ms after the far end, and it finds a longer delay by itself only after many seconds, if
// ever.  A sound server takes playback audio in bursts well before it is heard, so far-end
// chunks wait here with the time they will be heard and are handed on in step with the
// capture.  The echo path adds its own delay (the distance from loudspeaker to microphone, a
// device's buffering the backend does not see): a delay finder correlates the far end heard
// at each captured chunk's time with that chunk, and the far end is held back by the delay it
// finds, so each echo lands about kFarLeadMs after its far end reaches the canceller.  It keeps
// looking (every kAlignEveryChunks) and moves the hold when the echo has slid more than
// kRealignMs away (the path changed, or the two clocks drift apart) and the delay held has
// lost most of its correlation (a talker's own peaks move nothing); every move makes the
// canceller's filter start over, so small slides are left to the filter to follow.
//
// Before each captured chunk the canceller gets the far end heard up to kFarLeadMs - hold
// after that chunk was captured.  A captured chunk waits (up to the latency) for that far end
// to arrive: a sink's monitor, for one, returns the audio almost as soon as the server takes
// it.  Both times are on one clock, which the backend chooses (microseconds).
//
// While both ends talk, WebRTC's suppression takes the near-end talker down with the echo.  So
// a mono capture also runs a linear canceller on the same far end (LinearEchoCanceller.h),
// which learns while a double-talk detector says the near end is quiet (and, until it has
// learnt the path, through the detector's marks); while the detector says the near end talks
// and the canceller is trusted, the chunk comes from the linear canceller, delayed to line up
// with WebRTC's output (its canceller's output lags its input by a fixed amount per rate), with
// a fade over one chunk at each change.  Noise suppression runs after either, on a processing
// of its own.
#pragma once

#include <zelmar/zelmar.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "dsp/blocks/DoubleTalkDetector.h"
#include "dsp/blocks/EchoDelayFinder.h"
#include "platform/audio/AudioDevice.h"
#include "platform/audio/LinearEchoCanceller.h"

namespace webrtc {
class AudioProcessing;
}

namespace zelmar::platform::audio {

class CaptureEffects : public std::enable_shared_from_this<CaptureEffects> {
public:
    static constexpr uint32_t kChunkMs = 10;
    static constexpr int64_t kFarLeadMs = 30;
    static constexpr uint32_t kLatencyChunks = 4;  // 40 ms
    // Far end waiting: the longest hold and the lead, with room to spare.
    static constexpr uint32_t kFarChunks = 150;
    static constexpr uint32_t kMaxEchoDelayMs = 700;   // the longest echo delay looked for
    static constexpr uint32_t kAlignEveryChunks = 10;  // 100 ms
    static constexpr int64_t kRealignMs = 15;
    static constexpr uint32_t kSteadyChecks = 3;
    static constexpr int64_t kSteadyWithinMs = 2;
    // ... and the correlation at the delay held has fallen under this share of the new peak's
    // (a talker over a 250 ms echo moved the hold for half a second: 12.0 dB, 12.8 without).
    static constexpr float kHeldStrengthToMove = 0.5f;
    static_assert(kMaxEchoDelayMs < (kFarChunks - kLatencyChunks) * kChunkMs - 2 * kFarLeadMs,
                  "the far end held back by the longest delay must fit the queue");
    // The linear canceller's span after the far end reaches it: the lead, and a room's tail.
    static constexpr uint32_t kLinearSpanMs = 160;
    // It takes each far-end chunk this many chunks after WebRTC's canceller does: the echo
    // then starts 10 ms into its span, leaving 150 ms for a room's tail (with the echo 30 ms
    // in, a talker came through 5 dB worse in a trial on the echo report's 30 ms room).
    static constexpr uint32_t kLinearFarHoldChunks = 2;
    // Its output is used from when it takes the echo 6 dB down (over about half a second
    // without a talker) until it starts over or its output comes out 1 dB louder than the
    // capture: before it has learnt the path, or after the path moved under it, it would let
    // the echo through.
    static constexpr float kLinearTrustRatio = 4.0f;
    // ... counted over at least this many chunks since the sums started: a few quiet chunks
    // just after a start-over can show 6 dB by chance, and a filter trusted on them let the
    // echo through when the detector then marked it as a talker (0.5 dB in a second of the
    // drift run).
    static constexpr uint32_t kLinearTrustAfterChunks = 50;
    static constexpr float kLinearLouderBy = 1.26f;
    static constexpr float kLinearTrustForget = 0.98f;
    // An echo estimate holding this share of the far end's energy (half its amplitude) is a
    // path too loud for the double-talk detector.
    static constexpr float kLoudPathEnergyShare = 0.25f;
    // How many samples WebRTC's canceller output lags its input, per rate (8, 16, 32 and
    // 48 kHz), measured on webrtc-audio-processing 0.3 (tests/double_talk_test.cpp checks).
    static constexpr uint32_t kCancellerLagSamples[4] = {112, 112, 228, 382};
    static uint32_t CancellerLagSamples(uint32_t rate);

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

    // The echo delay the far end is held back by now, in ms (0 before one was found).
    int32_t HeldBackMs();

private:
    CaptureEffects(const WAVEFORMATEX& format, bool echoCancellation, bool noiseSuppression);
    bool Init();
    void ProcessChunkLocked(uint8_t* chunk, int64_t capturedAtUs);
    bool FarEndReadyLocked(int64_t capturedAtUs) const;
    void FeedFarEndLocked(int64_t untilUs);
    void FindDelayLocked(const uint8_t* chunk, int64_t capturedAtUs);
    void DropOldestFarLocked();
    bool CancelLinearLocked();
    void MixLinearLocked(bool talking);
    int64_t FarLeadUsLocked() const { return (kFarLeadMs - heldMs_) * 1000; }

    std::mutex mutex_;
    webrtc::AudioProcessing* apm_ = nullptr;       // echo cancellation
    webrtc::AudioProcessing* noiseApm_ = nullptr;  // noise suppression, after it
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
    // Far-end chunks by number (chunk n in slot n % kFarChunks), kept until both the canceller
    // and the delay finder are past them.
    std::vector<uint8_t> farQueue_;
    int64_t farHeardAtUs_[kFarChunks] = {};
    int64_t farEndUntilUs_ = INT64_MIN;  // when the far end received so far ends
    uint64_t farWritten_ = 0;            // chunks received
    uint64_t farToCanceller_ = 0;        // the next chunk for the canceller
    uint64_t farToFinder_ = 0;           // the next chunk for the delay finder
    std::vector<float> farChannels_[2];

    zelmar::CEchoDelayFinder finder_;
    std::vector<int16_t> finderFar_;     // one chunk of each stream's first channel
    std::vector<int16_t> finderCaptured_;
    uint64_t chunksDone_ = 0;
    int64_t heldMs_ = 0;                 // the echo delay the far end is held back by
    int64_t candidateMs_ = -1;           // the delay found at the last checks
    uint32_t candidateChecks_ = 0;       // how many in a row

    // The linear canceller of a mono capture (hasLinear_), in 16-bit units.
    bool hasLinear_ = false;
    LinearEchoCanceller linear_;
    zelmar::CDoubleTalkDetector talk_;
    uint64_t linearFarUsed_ = UINT64_MAX;  // the far-end chunk it got last
    std::vector<float> linearFar_, linearIn_, linearOut_, linearEstimate_;
    std::vector<float> linearDelay_;     // its output, a ring, read WebRTC's lag behind
    uint32_t linearDelayAt_ = 0;
    uint32_t cancellerLag_ = 0;
    int64_t linearHeldMs_ = 0;           // the hold the linear canceller learnt with
    float linearCapturedEnergy_ = 0;     // decaying sums over chunks without a talker
    float linearResidualEnergy_ = 0;
    float linearEchoEnergy_ = 0;         // its echo estimate's, and the far end's
    float linearFarEnergy_ = 0;
    float linearInputEnergy_ = 0;        // decaying sums over every chunk
    float linearOutputEnergy_ = 0;
    uint32_t linearStartsOver_ = 0;
    uint32_t linearTrustChunks_ = 0;    // chunks in those sums
    bool linearTrusted_ = false;
    bool wasTalking_ = false;
};

}  // namespace zelmar::platform::audio
