// EnvelopeDetector<T>: a one-pole smoother whose time constant is given in milliseconds.
// The caller owns the smoothed state, so one detector can serve several signals.
//
//   coefficient = exp(-1000 / (timeMs * sampleRate))   (computed in double, stored as T)
//   state       = (state - x) * coefficient + x
//
// After timeMs the state has closed 1 - 1/e (63 %) of a step.  Only float is instantiated.
#pragma once

#include <cstdint>

namespace zelmar {

template <typename T>
class EnvelopeDetector {
public:
    EnvelopeDetector(T timeMs, uint32_t sampleRate);
    virtual ~EnvelopeDetector();

    virtual void UpdateCoefficient();

    void SetTime(T ms) {
        timeMs = ms;
        UpdateCoefficient();
    }
    void SetSampleRate(uint32_t hertz) {
        sampleRate = hertz;
        UpdateCoefficient();
    }

    void Smooth(T x, T& state) const { state = (state - x) * coefficient + x; }

    uint32_t sampleRate;
    T timeMs;
    T coefficient = 0;
};

extern template class EnvelopeDetector<float>;

}  // namespace zelmar
