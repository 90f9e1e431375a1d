// "RingBufferAudioInOut": a jitter buffer between a producer (PutData) and a consumer (GetData)
// of 16-bit mono PCM running on independent clocks.  It holds its fill near "BufferTime" by
// time-scaling the buffered speech: pitch periods are dropped with a cross-fade when the fill
// has stayed above the target for more than a second, and repeated when the fill runs low.
// Underruns are padded with silence and counted.
//
// All timing inside the ring assumes 32 000 samples per second (32 samples per millisecond);
// "AvgBytesPerSec" only sets the capacity (two seconds of it, at most the 65 536-sample store).
// The component takes no lock: a host that drives it from two threads serialises the calls.
#pragma once

#include <cstdint>
#include <memory>

#include "framework/AudioComponent.h"
#include "framework/Properties.h"

namespace zelmar {

class CRingBufferAudioInOut : public CTableComponent<CRingBufferAudioInOut> {
public:
    // The sample store: 65 536 samples addressed by 16-bit indices, so every index operation
    // wraps by itself and never leaves the storage.
    class CRingBufferShort4 {
    public:
        static constexpr uint32_t kStorageSamples = 65536;
        static constexpr uint32_t kSamplesPerMs = 32;
        static constexpr uint32_t kSamplesPerSec = 32000;
        static constexpr int32_t kLagSearchWindow = 500;  // samples compared per candidate lag
        static constexpr int32_t kMinLag = 128;           // 4 ms: highest pitch 250 Hz
        static constexpr int32_t kMaxLag = 500;           // 15.6 ms: lowest pitch 64 Hz
        static constexpr int32_t kMinScalableFill = 1000; // below this there is no period to find
        static constexpr float kMinCompressRatio = 0.8f;
        static constexpr float kMaxExpandRatio = 2.0f;

        CRingBufferShort4();
        virtual ~CRingBufferShort4();
        CRingBufferShort4(const CRingBufferShort4&) = delete;
        CRingBufferShort4& operator=(const CRingBufferShort4&) = delete;

        virtual void Init(uint32_t bufferTimeMs, int32_t bytesPerSec);
        // Stores bytes / 2 samples; returns the bytes stored (0 before the consumer was seen).
        virtual int32_t Put(const int16_t* samples, uint32_t bytes);
        // Always delivers `bytes` (an odd last byte is left unwritten).
        virtual int32_t Get(int16_t* samples, uint32_t bytes);
        virtual void SetBufferTime(uint32_t bufferTimeMs);
        virtual void GetStats(uint32_t* underflows, uint32_t* compressions, uint32_t* fillBytes);
        virtual void SetVerbose(int32_t verbose);
        virtual void Mute();
        // Rewrites the buffered audio into one about `ratio` times longer (1 < ratio <= 2).
        virtual void Expand(float ratio);
        // Rewrites the buffered audio into one about `ratio` times as long (0.8 <= ratio < 1).
        virtual void Compress(float ratio);
        virtual int32_t FreeSpace();

        // The even lag in [128, 500] whose 500-sample window best matches the window at
        // `start` (smallest sum of absolute differences, the first one on ties).
        int32_t FindBestLag(uint16_t start) const;

        int32_t fill() const { return fill_; }
        int32_t capacity() const { return capacity_; }
        uint32_t target() const { return targetMs_; }
        uint32_t expansions() const { return expansions_; }
        uint32_t compressions() const { return compressions_; }
        uint32_t underflows() const { return underflows_; }
        uint16_t readIndex() const { return readIndex_; }
        uint16_t writeIndex() const { return writeIndex_; }

        // The fill at or below which Get expands: half the target less one millisecond.
        uint32_t LowWaterSamples() const;

    private:
        int16_t& At(uint32_t index) { return storage_[static_cast<uint16_t>(index)]; }
        int16_t At(uint32_t index) const { return storage_[static_cast<uint16_t>(index)]; }
        void AppendSilence(uint32_t samples);
        void GetChunk(int16_t* samples, uint32_t count);

        std::unique_ptr<int16_t[]> storage_;
        // Expansion output, made once here so that no data call allocates.
        std::unique_ptr<int16_t[]> expandScratch_;
        int32_t fill_ = 0;
        int32_t capacity_ = 0;
        uint32_t targetMs_ = 0;
        int32_t compressHoldOff_ = 0;
        int32_t expandHoldOff_ = 0;
        uint32_t overTargetRun_ = 0;
        uint32_t compressions_ = 0;
        uint32_t expansions_ = 0;
        uint32_t puts_ = 0;
        uint32_t underflows_ = 0;
        bool muted_ = true;
        uint16_t readIndex_ = 0;
        uint16_t writeIndex_ = 0;
        bool consumerSeen_ = false;
        int32_t verbose_ = 0;
    };

    CRingBufferAudioInOut();
    ~CRingBufferAudioInOut() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t GetData(void* buffer, int32_t bytes) override;
    int32_t PutData(const void* buffer, int32_t bytes) override;


    enum Property : int32_t {
        kBufferSize = 0,
        kAvgBytesPerSec = 1,
        kBufferTime = 2,
        kAdjust = 3,
        kOverFlow = 4,
        kUnderFlow = 5,
        kVerbose = 6,
        kFillBytes = 7,
        kMute = 8,
        kTotalIn = 9,
        kTotalOut = 10,
        kUnknown = 11,
    };

    static const PropertyTable<CRingBufferAudioInOut>& Properties();

    const CRingBufferShort4& ring() const { return ring_; }

private:
    int32_t ApplyBufferTime();
    int32_t SetVerbose(int32_t value, void* data);
    int32_t SetMute(int32_t value, void* data);
    int32_t GetBufferSize(int32_t arg, void* out);
    int32_t GetOverFlow(int32_t arg, void* out);
    int32_t GetUnderFlow(int32_t arg, void* out);
    int32_t GetFillBytes(int32_t arg, void* out);

    struct Settings {
        int32_t bufferTimeMs = 0;  // target fill; the ring follows every change
        int32_t bytesPerSec = 0;   // sets the capacity at Build
    };
    // Byte counters: kept for the component's life, across Stop and Start like the ring's
    // contents and statistics.
    struct Counters {
        uint32_t putBytes = 0;  // "TotalIn"
        uint32_t gotBytes = 0;  // "TotalOut"
    };

    Settings settings_;
    Counters counters_;
    CRingBufferShort4 ring_;
};

}  // namespace zelmar
