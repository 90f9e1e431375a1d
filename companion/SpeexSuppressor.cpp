// SpeexDSP's preprocessor with only its denoiser on: spectral subtraction with a
// minimum-statistics noise estimate, working at any rate and frame size.
#include <speex/speex_preprocess.h>

#include "Suppressor.h"

namespace zelmar::ec {
namespace {

class SpeexSuppressor final : public ISuppressor {
public:
    explicit SpeexSuppressor(SpeexPreprocessState* state) : state_(state) {}
    ~SpeexSuppressor() override { speex_preprocess_state_destroy(state_); }

    void ProcessFrame(int16_t* frame) override { speex_preprocess_run(state_, frame); }

    void SetAttenuationDb(int attenuationDb) override {
        // Speex takes the largest attenuation as a negative dB value.
        int suppressDb = -attenuationDb;
        speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppressDb);
    }

private:
    SpeexPreprocessState* state_;
};

}  // namespace

std::unique_ptr<ISuppressor> CreateSpeexSuppressor(int sampleRateHz, int frameSamples, int attenuationDb) {
    SpeexPreprocessState* state = speex_preprocess_state_init(frameSamples, sampleRateHz);
    if (state == nullptr) return nullptr;
    int on = 1;
    int off = 0;
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DENOISE, &on);
    // The engine has its own gain control and voice detection (the preprocessor's own VAD is
    // off by default): only the denoiser runs here.
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DEREVERB, &off);
    auto suppressor = std::make_unique<SpeexSuppressor>(state);
    suppressor->SetAttenuationDb(attenuationDb);
    return suppressor;
}

}  // namespace zelmar::ec
