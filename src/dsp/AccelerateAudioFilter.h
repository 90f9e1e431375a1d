// "AccelerateAudioFilter": plays 16-bit mono PCM faster without changing its pitch, by plain
// overlap-add.  The input is cut into consecutive frames of one window (every input sample
// is used once); the frames are laid into the output `100 / speed` of a window apart, and
// each overlap is cross-faded with raised-cosine ramps.  There is no search for a matching
// splice point, which keeps the cost at a few operations per sample.  "Speed" is a
// percentage above 100: 125 gives 100/125 of the input's duration.
#pragma once

#include <cstdint>
#include <memory>

#include "framework/AudioComponent.h"
#include "framework/Properties.h"

namespace zelmar {

class CAccelerateAudioFilter : public CTableComponent<CAccelerateAudioFilter> {
public:
    enum Property : int32_t {
        kSpeed = 0,
        kSamplesPerSec = 1,
        kWindowTime = 2,
        kTotalIn = 3,
        kTotalOut = 4,
        kUnknown = 5,
    };

    // Start's result when the speed is so close to 100 that the window has no usable fade.
    static constexpr int32_t kNoUsableFade = -1;
    static constexpr int32_t kMinSpeedPercent = 100;
    // 2^22 samples (87 s at 48 kHz): far beyond any useful window, small enough to allocate.
    static constexpr int64_t kMaxWindowSamples = int64_t{1} << 22;

    CAccelerateAudioFilter();
    ~CAccelerateAudioFilter() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;


    static const PropertyTable<CAccelerateAudioFilter>& Properties();

private:
    // A queue of floats with a fixed capacity: appending to a full queue does nothing;
    // removing from the front moves the rest down.
    class FloatQueue {
    public:
        bool Reset(int32_t capacity);
        void Release();
        int32_t size() const { return size_; }
        bool full() const { return size_ >= capacity_; }
        float* data() { return data_.get(); }
        void Push(float value) {
            if (size_ < capacity_) data_[size_++] = value;
        }
        void PushZeros(int32_t count);
        void PopFront(int32_t count);

    private:
        std::unique_ptr<float[]> data_;
        int32_t capacity_ = 0;
        int32_t size_ = 0;
    };

    // The window time is a float: whole milliseconds from the property, as a float.
    float WindowMs() const;
    int32_t GetWindowTime(int32_t arg, void* out);

    struct Settings {
        int32_t speedPercent = kMinSpeedPercent;
        uint32_t samplesPerSec = 0;  // the host sets it before Start
        int32_t windowMs = 80;
    };
    // One stream, from Start to Stop: its geometry and where the overlap-add stands.
    enum class Phase : uint8_t { kCollecting, kEmitting };
    struct Stream {
        int32_t window = 0;        // N: samples per frame
        int32_t fade = 0;          // L: samples in each cross-fade ramp
        int32_t inputHop = 0;      // H: input samples from one frame to the next (a window)
        int32_t outputHop = 0;     // P: output samples per frame, 100 / speed of H
        int32_t readPosition = 0;  // next accumulator sample to emit
        Phase phase = Phase::kCollecting;
    };

    Settings settings_;
    Stream stream_;
    // Sized by the window at Start; Process streams any block size through them.
    std::unique_ptr<float[]> fade_;  // raised-cosine ramp falling from 1 toward 0
    FloatQueue input_;               // the frame being collected
    FloatQueue accumulator_;         // overlap-added output, one window long
};

}  // namespace zelmar
