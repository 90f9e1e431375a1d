#include "dsp/blocks/BiquadFilter2.h"

namespace zelmar {

CBiquadFilter2::CBiquadFilter2(int sampleRate) : CBiquadFilter(sampleRate) {}

CBiquadFilter2::~CBiquadFilter2() = default;

}  // namespace zelmar
