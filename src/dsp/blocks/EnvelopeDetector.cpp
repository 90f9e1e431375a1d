#include "dsp/blocks/EnvelopeDetector.h"

#include <cmath>

namespace zelmar {

template <typename T>
EnvelopeDetector<T>::EnvelopeDetector(T ms, uint32_t hertz) : sampleRate(hertz), timeMs(ms) {
    // The constructor computes directly rather than through the virtual call, which would
    // not reach a derived override from here anyway.
    EnvelopeDetector<T>::UpdateCoefficient();
}

template <typename T>
EnvelopeDetector<T>::~EnvelopeDetector() = default;

template <typename T>
void EnvelopeDetector<T>::UpdateCoefficient() {
    coefficient = static_cast<T>(std::exp(-1000.0 / (static_cast<double>(timeMs) * static_cast<double>(sampleRate))));
}

template class EnvelopeDetector<float>;

}  // namespace zelmar
