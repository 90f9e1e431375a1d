// WebRTC's noise suppressor (Wiener filter with a speech/noise likelihood model) run alone
// inside an AudioProcessing instance, which splits bands and resamples for it.
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <vector>

#include "Suppressor.h"

namespace zelmar::ec {
namespace {

// The four WebRTC levels limit noise attenuation to about 6, 12, 18 and 21 dB (its
// denoise bounds 0.5, 0.25, 0.125, 0.09); an attenuation asks for the nearest one.
webrtc::NoiseSuppression::Level LevelForAttenuation(int attenuationDb) {
    if (attenuationDb < 9) return webrtc::NoiseSuppression::kLow;
    if (attenuationDb < 15) return webrtc::NoiseSuppression::kModerate;
    if (attenuationDb < 20) return webrtc::NoiseSuppression::kHigh;
    return webrtc::NoiseSuppression::kVeryHigh;
}

constexpr float kInt16ToFloat = 1.0f / 32768.0f;

class WebRtcSuppressor final : public ISuppressor {
public:
    WebRtcSuppressor(webrtc::AudioProcessing* apm, int sampleRateHz, int frameSamples)
        : apm_(apm), config_(sampleRateHz, 1), samples_(static_cast<size_t>(frameSamples)) {}
    ~WebRtcSuppressor() override { delete apm_; }

    bool Ready() const { return config_.num_frames() == samples_.size(); }

    void ProcessFrame(int16_t* frame) override {
        for (size_t i = 0; i < samples_.size(); ++i) samples_[i] = frame[i] * kInt16ToFloat;
        float* channel = samples_.data();
        if (apm_->ProcessStream(&channel, config_, config_, &channel) != webrtc::AudioProcessing::kNoError) {
            return;  // the frame passes unchanged
        }
        for (size_t i = 0; i < samples_.size(); ++i) {
            float scaled = samples_[i] * 32768.0f;
            scaled = scaled > 32767.0f ? 32767.0f : (scaled < -32768.0f ? -32768.0f : scaled);
            frame[i] = static_cast<int16_t>(scaled < 0 ? scaled - 0.5f : scaled + 0.5f);
        }
    }

    void SetAttenuationDb(int attenuationDb) override {
        apm_->noise_suppression()->set_level(LevelForAttenuation(attenuationDb));
    }

private:
    webrtc::AudioProcessing* apm_;
    webrtc::StreamConfig config_;
    std::vector<float> samples_;
};

}  // namespace

std::unique_ptr<ISuppressor> CreateWebRtcSuppressor(int sampleRateHz, int frameSamples, int attenuationDb) {
    webrtc::AudioProcessing* apm = webrtc::AudioProcessing::Create();
    if (apm == nullptr) return nullptr;
    auto suppressor = std::make_unique<WebRtcSuppressor>(apm, sampleRateHz, frameSamples);
    // The processing works on 10 ms chunks; a rate whose 10 ms is not a whole number of
    // samples cannot be fed frame by frame.
    if (!suppressor->Ready()) return nullptr;
    apm->noise_suppression()->Enable(true);
    suppressor->SetAttenuationDb(attenuationDb);
    return suppressor;
}

}  // namespace zelmar::ec
