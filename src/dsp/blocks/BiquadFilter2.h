// CBiquadFilter2: a second family of biquad sections, built and designed exactly like
// CBiquadFilter.  The capture pre-processor keeps its second high-pass/low-pass pair as this
// type so the two pairs stay distinct objects with their own state.
#pragma once

#include "dsp/blocks/BiquadFilter.h"

namespace zelmar {

class CBiquadFilter2 : public CBiquadFilter {
public:
    explicit CBiquadFilter2(int sampleRate);
    ~CBiquadFilter2() override;
};

}  // namespace zelmar
